#include "URL/UriReference.h"

#include "URL/PercentEscapes.h"

#include <algorithm>
#include <cctype>

namespace CFPlatform {

namespace {

bool isSchemeStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isSchemeChar(char c)
{
    return isSchemeStart(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool isValidScheme(std::string_view text)
{
    return !text.empty() && isSchemeStart(text[0]) && std::all_of(text.begin(), text.end(), isSchemeChar);
}

bool isAuthorityChar(char c)
{
    return (isPathChar(c) && c != '/') || c == '[' || c == ']';
}

bool isQueryChar(char c)
{
    return isPathChar(c) || c == '?';
}

// Every character is allowed by `allowed` or starts a complete percent-escape.
template <typename Allowed>
bool isValidComponent(std::string_view text, Allowed allowed)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                return false;
            }
            i += 2;
        } else if (!allowed(text[i])) {
            return false;
        }
    }
    return true;
}

// Moves what follows the first `delimiter` out of `text` into `component` (a query or a fragment);
// false when that is not a valid one.
bool splitOffTail(std::string_view& text, char delimiter, std::optional<std::string>& component)
{
    size_t at = text.find(delimiter);
    if (at == std::string_view::npos) {
        return true;
    }
    std::string_view tail = text.substr(at + 1);
    if (!isValidComponent(tail, isQueryChar)) {
        return false;
    }
    component = std::string(tail);
    text = text.substr(0, at);
    return true;
}

// Section 5.2.3.
std::string mergePaths(const UriReference& base, const std::string& referencePath)
{
    if (base.authority && base.path.empty()) {
        return "/" + referencePath;
    }
    size_t slash = base.path.rfind('/');
    if (slash == std::string::npos) {
        return referencePath;
    }
    return base.path.substr(0, slash + 1) + referencePath;
}

} // namespace

std::string UriReference::toString() const
{
    std::string result;
    if (scheme) {
        result += *scheme + ":";
    }
    if (authority) {
        result += "//" + *authority;
    }
    result += path;
    if (query) {
        result += "?" + *query;
    }
    if (fragment) {
        result += "#" + *fragment;
    }
    return result;
}

bool UriReference::isFileScheme() const
{
    if (!scheme || scheme->size() != 4) {
        return false;
    }
    return std::equal(scheme->begin(), scheme->end(), "file",
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

std::optional<UriReference> parseUriReference(std::string_view text)
{
    UriReference reference;
    size_t delimiter = text.find_first_of(":/?#");
    if (delimiter != std::string_view::npos && text[delimiter] == ':' &&
        isValidScheme(text.substr(0, delimiter))) {
        reference.scheme = std::string(text.substr(0, delimiter));
        text.remove_prefix(delimiter + 1);
    }

    if (!splitOffTail(text, '#', reference.fragment) || !splitOffTail(text, '?', reference.query)) {
        return std::nullopt;
    }
    if (text.starts_with("//")) {
        size_t pathStart = text.find('/', 2);
        std::string_view authority =
            text.substr(2, pathStart == std::string_view::npos ? text.npos : pathStart - 2);
        if (!isValidComponent(authority, isAuthorityChar)) {
            return std::nullopt;
        }
        reference.authority = std::string(authority);
        text = pathStart == std::string_view::npos ? std::string_view() : text.substr(pathStart);
    }
    if (!isValidComponent(text, isPathChar)) {
        return std::nullopt;
    }
    reference.path = std::string(text);
    return reference;
}

UriReference resolveReference(const UriReference& base, const UriReference& reference)
{
    UriReference target;
    if (reference.scheme) {
        target = reference;
        target.path = removeDotSegments(reference.path);
        return target;
    }
    if (reference.authority) {
        target.authority = reference.authority;
        target.path = removeDotSegments(reference.path);
        target.query = reference.query;
    } else {
        if (reference.path.empty()) {
            target.path = base.path;
            target.query = reference.query ? reference.query : base.query;
        } else {
            target.path = removeDotSegments(
                reference.path.starts_with('/') ? reference.path : mergePaths(base, reference.path));
            target.query = reference.query;
        }
        target.authority = base.authority;
    }
    target.scheme = base.scheme;
    target.fragment = reference.fragment;
    return target;
}

std::string removeDotSegments(std::string_view input)
{
    std::string output;
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.remove_prefix(3);
        } else if (input.starts_with("./")) {
            input.remove_prefix(2);
        } else if (input.starts_with("/./")) {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.starts_with("/../") || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            size_t slash = output.rfind('/');
            output.erase(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            size_t next = input.find('/', input.starts_with('/') ? 1 : 0);
            std::string_view segment = input.substr(0, next);
            output += segment;
            input.remove_prefix(segment.size());
        }
    }
    return output;
}

} // namespace CFPlatform
