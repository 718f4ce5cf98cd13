#include "PresetFile.h"

#include <Foundation/NSData.h>
#include <Foundation/NSString.h>

#include <sys/stat.h>

NS::String readPresetText(NS::String path)
{
    struct stat info;
    if (stat(NS::UTF8String(path).c_str(), &info) != 0 ||
        static_cast<size_t>(info.st_size) > kMaximumPresetBytes) {
        return nullptr;
    }
    if (NS::String text = NS::stringWithContentsOfFile(path, NS::UTF8StringEncoding, nullptr)) {
        if (NS::containsString(text, CFSTR("kAPIVersion"))) {
            return text;
        }
        CFRelease(text);
        return nullptr;
    }
    return NS::stringWithContentsOfFile(path, NS::UnicodeStringEncoding, nullptr);
}

NS::String applyPresetScript(NS::String text)
{
    NS::String escaped = NS::stringByAddingPercentEncodingWithAllowedCharacters(
        text, NS::CharacterSet::URLQueryAllowedCharacterSet());
    if (!escaped) {
        return nullptr;
    }
    NS::Data* bytes = NS::dataUsingEncoding(escaped, NS::UTF8StringEncoding);
    NS::String base64 = bytes->base64EncodedStringWithOptions(0);
    NS::String script = NS::stringWithFormat("gApp.appdata.datastore.applyPreset('%@')", base64);
    CFRelease(base64);
    bytes->release();
    CFRelease(escaped);
    return script;
}
