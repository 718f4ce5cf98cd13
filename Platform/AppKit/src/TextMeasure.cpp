#include "TextMeasure.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <map>
#include <mutex>

namespace AppKit {

namespace {

// The loaded faces by family; FreeType's objects are used under this lock only.
struct Faces
{
    std::mutex lock;
    FT_Library library = nullptr;
    std::map<std::string, FT_Face> byFamily;
};

Faces& faces()
{
    static Faces* shared = [] {
        auto* made = new Faces;
        FT_Init_FreeType(&made->library);
        return made;
    }();
    return *shared;
}

std::string fileOfFamily(const std::string& family)
{
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family.c_str()));
    if (pattern == nullptr) {
        return {};
    }
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    std::string path;
    FcChar8* file = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
        path = reinterpret_cast<const char*>(file);
    }
    if (match != nullptr) {
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return path;
}

FT_Face faceOf(Faces& all, const std::string& family)
{
    auto found = all.byFamily.find(family);
    if (found != all.byFamily.end()) {
        return found->second;
    }
    FT_Face face = nullptr;
    const std::string path = fileOfFamily(family);
    if (all.library == nullptr || path.empty() || FT_New_Face(all.library, path.c_str(), 0, &face) != 0) {
        face = nullptr;
    }
    all.byFamily.emplace(family, face);
    return face;
}

// The next code point of UTF-8 text; malformed bytes read as themselves.
char32_t nextCodePoint(const std::string& text, size_t& at)
{
    const auto lead = static_cast<unsigned char>(text[at++]);
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int i = 0; i < extra && at < text.size(); ++i) {
        code = code << 6 | (static_cast<unsigned char>(text[at++]) & 0x3F);
    }
    return code;
}

} // namespace

NS::Size measureText(const std::string& text, const NS::Font& font)
{
    Faces& all = faces();
    std::lock_guard lock(all.lock);
    FT_Face face = faceOf(all, font.familyName());
    if (face == nullptr || FT_Set_Char_Size(face, 0, FT_F26Dot6(font.pointSize() * 64), 72, 72) != 0) {
        return {};
    }
    double width = 0;
    FT_UInt previous = 0;
    for (size_t at = 0; at < text.size();) {
        const FT_UInt glyph = FT_Get_Char_Index(face, nextCodePoint(text, at));
        if (previous != 0 && FT_HAS_KERNING(face)) {
            FT_Vector kerning{};
            FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &kerning);
            width += double(kerning.x) / 64;
        }
        if (FT_Load_Glyph(face, glyph, FT_LOAD_NO_HINTING) == 0) {
            width += double(face->glyph->advance.x) / 64;
        }
        previous = glyph;
    }
    return {width, double(face->size->metrics.height) / 64};
}

} // namespace AppKit
