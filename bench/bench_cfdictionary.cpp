// cfdictionary_lookup: lookups in a 64-entry CFDictionary with CFString keys, against GLib's
// GHashTable with g_str_hash and g_str_equal. The keys looked up are equal to the stored ones but
// are other objects (other buffers for GLib), so both sides compare contents.

#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>
#include <glib.h>
#include <string>
#include <vector>

namespace {

constexpr int kEntries = 64;

std::vector<std::string> keyTexts()
{
    std::vector<std::string> texts;
    for (int i = 0; i < kEntries; ++i) {
        texts.push_back("com.vork.preference." + std::to_string(i * 7919));
    }
    return texts;
}

CFStringRef stringOf(const std::string& text)
{
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
}

void lookupOurs(benchmark::State& state)
{
    std::vector<std::string> texts = keyTexts();
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                  &kCFTypeDictionaryValueCallBacks);
    std::vector<CFStringRef> lookups;
    for (const std::string& text : texts) {
        CFStringRef key = stringOf(text);
        CFDictionarySetValue(dictionary, key, key);
        CFRelease(key);
        lookups.push_back(stringOf(text));
    }
    for (auto _ : state) {
        for (CFStringRef key : lookups) {
            benchmark::DoNotOptimize(CFDictionaryGetValue(dictionary, key));
        }
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
    for (CFStringRef key : lookups) {
        CFRelease(key);
    }
    CFRelease(dictionary);
}

void lookupPeer(benchmark::State& state)
{
    std::vector<std::string> stored = keyTexts();
    std::vector<std::string> lookups = keyTexts();
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    for (std::string& text : stored) {
        g_hash_table_insert(table, text.data(), text.data());
    }
    for (auto _ : state) {
        for (const std::string& key : lookups) {
            benchmark::DoNotOptimize(g_hash_table_lookup(table, key.c_str()));
        }
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
    g_hash_table_destroy(table);
}

} // namespace

BENCHMARK(lookupOurs)->Name("cfdictionary_lookup/ours");
BENCHMARK(lookupPeer)->Name("cfdictionary_lookup/peer");

BENCHMARK_MAIN();
