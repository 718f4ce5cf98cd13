#pragma once

// The serialised item tree: named, typed values (integers, doubles, four-character codes, texts,
// byte blocks) and containers of them, shared through std::shared_ptr. Each item writes itself as
// one element of a "resource_list" file; ReadContainerFromFile builds a tree from such a file.

#include "XMLParser.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

namespace Pellix {

class Writer;

constexpr unsigned int MakeItemType(const char (&code)[5])
{
    return static_cast<unsigned int>(static_cast<unsigned char>(code[0])) << 24 |
           static_cast<unsigned int>(static_cast<unsigned char>(code[1])) << 16 |
           static_cast<unsigned int>(static_cast<unsigned char>(code[2])) << 8 |
           static_cast<unsigned int>(static_cast<unsigned char>(code[3]));
}

class Item
{
public:
    // A four-character code, first character in the most significant byte.
    using ItemType = unsigned int;

    static constexpr ItemType kSInt32 = MakeItemType("SINT");
    static constexpr ItemType kDouble = MakeItemType("DBLE");
    static constexpr ItemType kOSType = MakeItemType("OSTY");
    static constexpr ItemType kUString = MakeItemType("TEXT");
    static constexpr ItemType kRawData = MakeItemType("DATA");
    static constexpr ItemType kContainer = MakeItemType("XSET");

    Item(ItemType type, const UString& name);
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

    virtual bool HasChanged() const { return fChanged; }
    virtual ~Item() = default;

    // Writes the item's comment and element, then clears its changed flag.
    void Write(Writer& writer);

    ItemType GetType() const { return fType; }
    const UString& GetName() const { return fName; }
    const UString& GetComment() const { return fComment; }
    void SetComment(const UString& comment) { fComment = comment; }

    std::vector<AttributePair>* GetAttributeList() { return fAttributes.get(); }
    bool FindAttribute(const UString& name, UString& value) const;
    void AddAttribute(const AttributePair& pair);
    void AddAttribute(const UString& name, const UString& value);
    void AdoptAttributes(std::unique_ptr<std::vector<AttributePair>> attributes);

    static const char* ErrorType();
    [[noreturn]] static void Throw(int);

protected:
    virtual void DoItemWrite(Writer& writer) const = 0;
    void SetChanged(bool changed) { fChanged = changed; }

private:
    const ItemType fType;
    UString fName;
    UString fComment;
    std::unique_ptr<std::vector<AttributePair>> fAttributes;
    bool fChanged = false;
};

// A leaf holding one value; Set counts as a change only when the value differs (a NaN never does).
template <typename T, Item::ItemType kType>
class ValueItem : public Item
{
public:
    using ValueType = T;
    static constexpr ItemType kItemType = kType;

    ValueItem(const UString& name, const T& value) : Item(kType, name), fValue(value) {}

    const T& Get() const { return fValue; }
    void Set(const T& value)
    {
        if (value < fValue || fValue < value) {
            fValue = value;
            SetChanged(true);
        }
    }

protected:
    void DoItemWrite(Writer& writer) const override;

private:
    T fValue;
};

using SInt32Item = ValueItem<int32_t, Item::kSInt32>;
using DoubleItem = ValueItem<double, Item::kDouble>;
using OSTypeItem = ValueItem<unsigned int, Item::kOSType>;
using UStringItem = ValueItem<UString, Item::kUString>;

// A block of bytes the buffer owns; a buffer without data has a null pointer.
struct RawDataBuffer
{
    RawDataBuffer() = default;
    // `size` zeroed bytes.
    explicit RawDataBuffer(uint32_t size);
    ~RawDataBuffer();
    RawDataBuffer(const RawDataBuffer&) = delete;
    RawDataBuffer& operator=(const RawDataBuffer&) = delete;

    uint32_t fSize = 0;
    unsigned char* fData = nullptr;
};

class RawDataItem : public Item
{
public:
    RawDataItem(const UString& name, std::shared_ptr<RawDataBuffer> buffer);

    const std::shared_ptr<RawDataBuffer>& Get() const { return fBuffer; }
    // Always counts as a change.
    void Set(const std::shared_ptr<RawDataBuffer>& buffer);

protected:
    void DoItemWrite(Writer& writer) const override;

private:
    std::shared_ptr<RawDataBuffer> fBuffer;
};

class ContainerItem;

std::shared_ptr<SInt32Item> CreateSInt32(const UString& name, int value);
std::shared_ptr<DoubleItem> CreateDouble(const UString& name, double value);
std::shared_ptr<OSTypeItem> CreateOSType(const UString& name, unsigned int value);
std::shared_ptr<UStringItem> CreateUString(const UString& name, const UString& value);
std::shared_ptr<RawDataItem> CreateRawData(const UString& name, std::shared_ptr<RawDataBuffer> buffer);
std::shared_ptr<ContainerItem> CreateContainer(const UString& name);

std::shared_ptr<SInt32Item> SInt32FromItem(const std::shared_ptr<Item>& item);
std::shared_ptr<DoubleItem> DoubleFromItem(const std::shared_ptr<Item>& item);
std::shared_ptr<OSTypeItem> OSTypeFromItem(const std::shared_ptr<Item>& item);
std::shared_ptr<UStringItem> UStringFromItem(const std::shared_ptr<Item>& item);
std::shared_ptr<RawDataItem> RawDataFromItem(const std::shared_ptr<Item>& item);
std::shared_ptr<ContainerItem> ContainerFromItem(const std::shared_ptr<Item>& item);

// Children in the order of adding, found by name: of several children of one name the newest
// counts.
class ContainerItem : public Item
{
public:
    explicit ContainerItem(const UString& name);

    // Refuses a null item and any item that would make the tree a cycle.
    void AddItem(std::shared_ptr<Item> item);
    void RemoveItem(std::shared_ptr<Item> item);

    unsigned int GetNumItems() const { return static_cast<unsigned int>(fItems.size()); }
    std::shared_ptr<Item> GetNthItem(unsigned int n) const;
    std::shared_ptr<Item> operator[](unsigned int n) const { return GetNthItem(n); }
    std::shared_ptr<Item> GetItem(ItemType type, const UString& name) const;

    bool HasChanged() const override;
    // Writes a whole "resource_list" document holding this container.
    void WriteToFile(std::ostream* out);

    std::shared_ptr<SInt32Item> AddSInt32Item(const UString& name, int value);
    void AddSInt32Item(const UString& name, int value, const UString& comment);
    std::shared_ptr<SInt32Item> GetSInt32Item(const UString& name) const;
    int GetSInt32ItemValue(const UString& name) const;

    std::shared_ptr<DoubleItem> AddDoubleItem(const UString& name, double value);
    void AddDoubleItem(const UString& name, double value, const UString& comment);
    std::shared_ptr<DoubleItem> GetDoubleItem(const UString& name) const;
    double GetDoubleItemValue(const UString& name) const;

    std::shared_ptr<OSTypeItem> AddOSTypeItem(const UString& name, unsigned int value);
    void AddOSTypeItem(const UString& name, unsigned int value, const UString& comment);
    std::shared_ptr<OSTypeItem> GetOSTypeItem(const UString& name) const;
    unsigned int GetOSTypeItemValue(const UString& name) const;

    std::shared_ptr<UStringItem> AddUStringItem(const UString& name, const UString& value);
    void AddUStringItem(const UString& name, const UString& value, const UString& comment);
    std::shared_ptr<UStringItem> GetUStringItem(const UString& name) const;
    UString GetUStringItemValue(const UString& name) const;

    // The bytes are copied.
    void AddRawDataItem(const UString& name, const unsigned char* data, unsigned int size);
    void AddRawDataItem(const UString& name, const RawDataBuffer& buffer);
    void AddRawDataItem(const UString& name, const unsigned char* data, unsigned int size,
                        const UString& comment);
    void AddRawDataItem(const UString& name, const RawDataBuffer& buffer, const UString& comment);
    std::shared_ptr<RawDataItem> GetRawDataItem(const UString& name) const;
    // Copies up to `max` bytes; with a null destination answers the stored size.
    unsigned int GetRawDataItemValue(const UString& name, unsigned char* dest, unsigned int max) const;

    std::shared_ptr<ContainerItem> AddContainerItem(const UString& name);
    std::shared_ptr<ContainerItem> AddContainerItem(const UString& name, const UString& comment);
    std::shared_ptr<ContainerItem> GetContainerItem(const UString& name) const;

    // Marks the container as matching its stored form.
    void ClearChanged() { SetChanged(false); }

protected:
    void DoItemWrite(Writer& writer) const override;

private:
    template <typename T>
    std::shared_ptr<T> AddValue(const UString& name, const typename T::ValueType& value,
                                const UString& comment);
    template <typename T>
    typename T::ValueType ValueOf(const UString& name) const;

    // Whether `holder` is a container that holds `item` at any depth.
    static bool HoldsAtAnyDepth(const Item& holder, const Item* item);
    bool Holds(const Item* item) const;
    std::vector<std::pair<UString, unsigned int>>::iterator IndexEntry(const UString& name);

    std::vector<std::pair<UString, unsigned int>> fIndex;
    std::vector<std::shared_ptr<Item>> fItems;
};

// Reads a "resource_list" document for the requested language: the first top-level item when it is
// a container, else null. Failures of the XML layer pass out as a bare int -50.
std::shared_ptr<ContainerItem> ReadContainerFromFile(std::istream* in, unsigned int language);

} // namespace Pellix
