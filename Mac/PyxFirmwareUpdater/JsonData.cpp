#include <JsonData.h>

std::string FindSubstring(const std::string& text, const std::string& start, const std::string& end)
{
    const size_t startAt = text.find(start);
    if (startAt == std::string::npos)
        return {};
    const size_t valueAt = startAt + start.size();
    const size_t endAt = text.find(end, valueAt);
    if (endAt == std::string::npos)
        return {};
    return text.substr(valueAt, endAt - valueAt);
}

JsonData::JsonData(const std::string& text)
    : version(FindSubstring(text, "\"version\": \"", "\"")), image(FindSubstring(text, "\"image\": \"", "\""))
{}
