#include <AppKit/NSTextField.h>

namespace NS {

namespace {

void replace(String& held, String string)
{
    if (string != nullptr) {
        CFRetain(string);
    }
    if (held != nullptr) {
        CFRelease(held);
    }
    held = string;
}

} // namespace

TextField::TextField(Rect frame) : View(frame), fStringValue(CFSTR("")) {}

TextField::~TextField()
{
    replace(fStringValue, nullptr);
    replace(fPlaceholderString, nullptr);
}

TextField* TextField::labelWithString(String string)
{
    TextField* label = new TextField(Rect{});
    label->setStringValue(string);
    label->setBezeled(false);
    label->setEditable(false);
    label->setSelectable(false);
    label->setDrawsBackground(false);
    return label;
}

void TextField::setStringValue(String string)
{
    replace(fStringValue, string != nullptr ? string : CFSTR(""));
}

void TextField::setPlaceholderString(String string)
{
    replace(fPlaceholderString, string);
}

} // namespace NS
