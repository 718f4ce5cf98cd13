#pragma once

// A text field: its text or, while it has none, its placeholder, in a font and a colour.

#include <AppKit/NSColor.h>
#include <AppKit/NSFont.h>
#include <AppKit/NSView.h>
#include <Foundation/NSTypes.h>

namespace NS {

enum class LineBreakStrategy : unsigned long
{
    None = 0,
    PushOut = 1,
};

class TextField : public View
{
public:
    static TextField* create(Rect frame) { return new TextField(frame); }
    // A label: not bezeled, not editable, not selectable, no background.
    static TextField* labelWithString(String string);

    String stringValue() const { return fStringValue; }
    void setStringValue(String string);
    String placeholderString() const { return fPlaceholderString; }
    void setPlaceholderString(String string);

    Font font() const { return fFont; }
    void setFont(Font font) { fFont = std::move(font); }
    Color textColor() const { return fTextColor; }
    void setTextColor(Color color) { fTextColor = color; }
    Color backgroundColor() const { return fBackgroundColor; }
    void setBackgroundColor(Color color) { fBackgroundColor = color; }

    bool isBezeled() const { return fBezeled; }
    void setBezeled(bool bezeled) { fBezeled = bezeled; }
    bool isEditable() const { return fEditable; }
    void setEditable(bool editable) { fEditable = editable; }
    bool isSelectable() const { return fSelectable; }
    void setSelectable(bool selectable) { fSelectable = selectable; }
    bool drawsBackground() const { return fDrawsBackground; }
    void setDrawsBackground(bool draws) { fDrawsBackground = draws; }
    LineBreakStrategy lineBreakStrategy() const { return fLineBreakStrategy; }
    void setLineBreakStrategy(LineBreakStrategy strategy) { fLineBreakStrategy = strategy; }

protected:
    explicit TextField(Rect frame);
    ~TextField() override;

private:
    String fStringValue;
    String fPlaceholderString = nullptr;
    Font fFont = Font::systemFontOfSize(Font::systemFontSize());
    Color fTextColor = Color::blackColor();
    Color fBackgroundColor = Color::whiteColor();
    bool fBezeled = true;
    bool fEditable = true;
    bool fSelectable = true;
    bool fDrawsBackground = true;
    LineBreakStrategy fLineBreakStrategy = LineBreakStrategy::None;
};

} // namespace NS
