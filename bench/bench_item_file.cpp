// Reading and writing a "resource_list" item file of about 1 MB, against the raw libxml2 text reader
// and writer underneath it, and against pugixml as the reference of a parser without that floor.

#include "XML/XMLSerializable.h"

#include <benchmark/benchmark.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>
#include <pugixml.hpp>

#include <sstream>
#include <string>

namespace {

UString U(const std::string& text)
{
    return UString(text, UString::kUTF8);
}

// About 20,000 items of all six types in nested containers, with German variants of the texts.
std::shared_ptr<Pellix::ContainerItem> MakeTree()
{
    auto root = Pellix::CreateContainer(U("settings"));
    const unsigned char bytes[40] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
    for (int group = 0; group < 300; ++group) {
        auto section = root->AddContainerItem(U("section" + std::to_string(group)));
        for (int i = 0; i < 12; ++i) {
            std::string n = std::to_string(i);
            section->AddSInt32Item(U("count" + n), group * 1000 + i);
            section->AddDoubleItem(U("gain" + n), group + i / 7.0);
            section->AddOSTypeItem(U("code" + n), Pellix::MakeItemType("TEXT"));
            section->AddUStringItem(U("label" + n),
                                    U("Channel " + n + " of section " + std::to_string(group)));
            auto german = section->AddUStringItem(U("label" + n), U("Kanal " + n));
            german->AddAttribute(U("lang"), U("dede"));
            if (i % 3 == 0) {
                section->AddRawDataItem(U("data" + n), bytes, sizeof bytes);
            }
        }
        section->AddContainerItem(U("empty"));
    }
    return root;
}

const std::string& Document()
{
    static const std::string document = [] {
        std::ostringstream out;
        MakeTree()->WriteToFile(&out);
        return out.str();
    }();
    return document;
}

void ReadOurs(benchmark::State& state)
{
    const std::string& document = Document();
    for (auto _ : state) {
        std::istringstream in(document);
        benchmark::DoNotOptimize(Pellix::ReadContainerFromFile(&in, Pellix::MakeItemType("enus")));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
}

void ReadLibxml2(benchmark::State& state)
{
    const std::string& document = Document();
    for (auto _ : state) {
        xmlTextReaderPtr reader = xmlReaderForMemory(document.data(), static_cast<int>(document.size()),
                                                     nullptr, nullptr, XML_PARSE_NOENT | XML_PARSE_NONET);
        size_t touched = 0;
        while (xmlTextReaderRead(reader) == 1) {
            const xmlChar* name = xmlTextReaderConstLocalName(reader);
            touched += name ? name[0] : 0;
            while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
                const xmlChar* value = xmlTextReaderConstValue(reader);
                touched += value ? value[0] : 0;
            }
            xmlTextReaderMoveToElement(reader);
            const xmlChar* value = xmlTextReaderConstValue(reader);
            touched += value ? value[0] : 0;
        }
        xmlFreeTextReader(reader);
        benchmark::DoNotOptimize(touched);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
}

size_t Walk(const pugi::xml_node& node)
{
    size_t touched = node.name()[0] + node.value()[0];
    for (const pugi::xml_attribute& attribute : node.attributes()) {
        touched += attribute.name()[0] + attribute.value()[0];
    }
    for (const pugi::xml_node& child : node.children()) {
        touched += Walk(child);
    }
    return touched;
}

void ReadPugixml(benchmark::State& state)
{
    const std::string& document = Document();
    for (auto _ : state) {
        pugi::xml_document parsed;
        parsed.load_buffer(document.data(), document.size());
        benchmark::DoNotOptimize(Walk(parsed));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
}

void WriteOurs(benchmark::State& state)
{
    auto tree = MakeTree();
    for (auto _ : state) {
        std::ostringstream out;
        tree->WriteToFile(&out);
        benchmark::DoNotOptimize(out.str().size());
    }
}

int WriteToString(void* context, const char* buffer, int length)
{
    static_cast<std::string*>(context)->append(buffer, static_cast<size_t>(length));
    return length;
}

// The same elements, attributes, texts and layout through the raw text writer.
void WriteNode(xmlTextWriterPtr writer, const pugi::xml_node& node, int depth)
{
    std::string indent = "\n" + std::string(static_cast<size_t>(depth), '\t');
    xmlTextWriterWriteRaw(writer, BAD_CAST indent.c_str());
    xmlTextWriterStartElement(writer, BAD_CAST node.name());
    for (const pugi::xml_attribute& attribute : node.attributes()) {
        xmlTextWriterWriteAttribute(writer, BAD_CAST attribute.name(), BAD_CAST attribute.value());
    }
    bool elements = false;
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() == pugi::node_element) {
            WriteNode(writer, child, depth + 1);
            elements = true;
        } else {
            xmlTextWriterWriteString(writer, BAD_CAST child.value());
        }
    }
    if (elements) {
        xmlTextWriterWriteRaw(writer, BAD_CAST indent.c_str());
    }
    xmlTextWriterEndElement(writer);
}

void WriteLibxml2(benchmark::State& state)
{
    pugi::xml_document parsed;
    parsed.load_buffer(Document().data(), Document().size());
    for (auto _ : state) {
        std::string out;
        xmlOutputBufferPtr buffer = xmlOutputBufferCreateIO(WriteToString, nullptr, &out, nullptr);
        xmlTextWriterPtr writer = xmlNewTextWriter(buffer);
        xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr);
        xmlTextWriterWriteRaw(writer, BAD_CAST "\n");
        WriteNode(writer, parsed.document_element(), 0);
        xmlFreeTextWriter(writer);
        benchmark::DoNotOptimize(out.size());
    }
}

} // namespace

BENCHMARK(ReadOurs)->Name("item_file_read/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadLibxml2)->Name("item_file_read/peer")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadOurs)->Name("item_file_read_pugixml/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadPugixml)->Name("item_file_read_pugixml/peer")->Unit(benchmark::kMillisecond);
BENCHMARK(WriteOurs)->Name("item_file_write/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(WriteLibxml2)->Name("item_file_write/peer")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
