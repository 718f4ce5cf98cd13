#include "XMLSerializable.h"

#include "Basics/Failure.h"
#include "XMLFailure.h"

#include <algorithm>
#include <cstring>

namespace Pellix {

namespace {

constexpr const char* kSourceFile = "PellixLib2/Source/XML/XMLSerializable";

template <typename T>
std::shared_ptr<T> WithComment(std::shared_ptr<T> item, const UString& comment)
{
    item->SetComment(comment);
    return item;
}

// The first index entry whose name is not below `name`.
template <typename Index>
auto LowerBound(Index& index, const UString& name)
{
    return std::lower_bound(index.begin(), index.end(), name,
                            [](const auto& entry, const UString& key) { return entry.first < key; });
}

} // namespace

Item::Item(ItemType type, const UString& name)
    : fType(type), fName(name), fAttributes(std::make_unique<std::vector<AttributePair>>())
{}

bool Item::FindAttribute(const UString& name, UString& value) const
{
    return fAttributes && FindAttributeInList(*fAttributes, name, value);
}

void Item::AddAttribute(const AttributePair& pair)
{
    AddAttributeToList(*fAttributes, pair);
}

void Item::AddAttribute(const UString& name, const UString& value)
{
    AddAttribute(AttributePair(name, value));
}

void Item::AdoptAttributes(std::unique_ptr<std::vector<AttributePair>> attributes)
{
    fAttributes = attributes ? std::move(attributes) : std::make_unique<std::vector<AttributePair>>();
}

const char* Item::ErrorType()
{
    return "XMLSerializable";
}

void Item::Throw(int)
{
    FailStringError(ErrorType(), kSourceFile, __LINE__);
}

RawDataBuffer::RawDataBuffer(uint32_t size) : fSize(size), fData(new unsigned char[size]()) {}

RawDataBuffer::~RawDataBuffer()
{
    delete[] fData;
}

RawDataItem::RawDataItem(const UString& name, std::shared_ptr<RawDataBuffer> buffer)
    : Item(kRawData, name), fBuffer(std::move(buffer))
{}

void RawDataItem::Set(const std::shared_ptr<RawDataBuffer>& buffer)
{
    fBuffer = buffer;
    SetChanged(true);
}

std::shared_ptr<SInt32Item> CreateSInt32(const UString& name, int value)
{
    return std::make_shared<SInt32Item>(name, value);
}

std::shared_ptr<DoubleItem> CreateDouble(const UString& name, double value)
{
    return std::make_shared<DoubleItem>(name, value);
}

std::shared_ptr<OSTypeItem> CreateOSType(const UString& name, unsigned int value)
{
    return std::make_shared<OSTypeItem>(name, value);
}

std::shared_ptr<UStringItem> CreateUString(const UString& name, const UString& value)
{
    return std::make_shared<UStringItem>(name, value);
}

std::shared_ptr<RawDataItem> CreateRawData(const UString& name, std::shared_ptr<RawDataBuffer> buffer)
{
    return std::make_shared<RawDataItem>(name, std::move(buffer));
}

std::shared_ptr<ContainerItem> CreateContainer(const UString& name)
{
    return std::make_shared<ContainerItem>(name);
}

std::shared_ptr<SInt32Item> SInt32FromItem(const std::shared_ptr<Item>& item)
{
    return std::dynamic_pointer_cast<SInt32Item>(item);
}

std::shared_ptr<DoubleItem> DoubleFromItem(const std::shared_ptr<Item>& item)
{
    return std::dynamic_pointer_cast<DoubleItem>(item);
}

std::shared_ptr<OSTypeItem> OSTypeFromItem(const std::shared_ptr<Item>& item)
{
    return std::dynamic_pointer_cast<OSTypeItem>(item);
}

std::shared_ptr<UStringItem> UStringFromItem(const std::shared_ptr<Item>& item)
{
    return std::dynamic_pointer_cast<UStringItem>(item);
}

std::shared_ptr<RawDataItem> RawDataFromItem(const std::shared_ptr<Item>& item)
{
    return std::dynamic_pointer_cast<RawDataItem>(item);
}

std::shared_ptr<ContainerItem> ContainerFromItem(const std::shared_ptr<Item>& item)
{
    return std::dynamic_pointer_cast<ContainerItem>(item);
}

ContainerItem::ContainerItem(const UString& name) : Item(kContainer, name) {}

bool ContainerItem::HoldsAtAnyDepth(const Item& holder, const Item* item)
{
    auto* container = dynamic_cast<const ContainerItem*>(&holder);
    return container && container->Holds(item);
}

bool ContainerItem::Holds(const Item* item) const
{
    for (const std::shared_ptr<Item>& child : fItems) {
        if (child.get() == item) {
            return true;
        }
        if (child->GetType() == kContainer && HoldsAtAnyDepth(*child, item)) {
            return true;
        }
    }
    return false;
}

std::vector<std::pair<UString, unsigned int>>::iterator ContainerItem::IndexEntry(const UString& name)
{
    auto entry = LowerBound(fIndex, name);
    if (entry == fIndex.end() || !(entry->first == name)) {
        entry = fIndex.insert(entry, {name, 0});
    }
    return entry;
}

void ContainerItem::AddItem(std::shared_ptr<Item> item)
{
    if (!item || item.get() == this || (item->GetType() == kContainer && HoldsAtAnyDepth(*item, this))) {
        FailStringError(ErrorType(), kSourceFile, __LINE__);
    }
    IndexEntry(item->GetName())->second = GetNumItems();
    fItems.push_back(std::move(item));
    SetChanged(true);
}

void ContainerItem::RemoveItem(std::shared_ptr<Item> item)
{
    auto found = std::find(fItems.begin(), fItems.end(), item);
    if (!item || found == fItems.end()) {
        return;
    }
    fItems.erase(found);
    fIndex.clear();
    for (unsigned int position = 0; position < GetNumItems(); ++position) {
        IndexEntry(fItems[position]->GetName())->second = position;
    }
}

std::shared_ptr<Item> ContainerItem::GetNthItem(unsigned int n) const
{
    return n < fItems.size() ? fItems[n] : nullptr;
}

std::shared_ptr<Item> ContainerItem::GetItem(ItemType type, const UString& name) const
{
    auto entry = LowerBound(fIndex, name);
    if (entry == fIndex.end() || !(entry->first == name)) {
        return nullptr;
    }
    const std::shared_ptr<Item>& item = fItems[entry->second];
    return item->GetType() == type && item->GetName() == name ? item : nullptr;
}

bool ContainerItem::HasChanged() const
{
    return Item::HasChanged() ||
           std::any_of(fItems.begin(), fItems.end(), [](const auto& child) { return child->HasChanged(); });
}

template <typename T>
std::shared_ptr<T> ContainerItem::AddValue(const UString& name, const typename T::ValueType& value,
                                           const UString& comment)
{
    auto item = std::make_shared<T>(name, value);
    item->SetComment(comment);
    AddItem(item);
    return item;
}

template <typename T>
typename T::ValueType ContainerItem::ValueOf(const UString& name) const
{
    auto item = std::dynamic_pointer_cast<T>(GetItem(T::kItemType, name));
    return item ? item->Get() : typename T::ValueType();
}

std::shared_ptr<SInt32Item> ContainerItem::AddSInt32Item(const UString& name, int value)
{
    return AddValue<SInt32Item>(name, value, UString());
}

void ContainerItem::AddSInt32Item(const UString& name, int value, const UString& comment)
{
    AddValue<SInt32Item>(name, value, comment);
}

std::shared_ptr<SInt32Item> ContainerItem::GetSInt32Item(const UString& name) const
{
    return SInt32FromItem(GetItem(kSInt32, name));
}

int ContainerItem::GetSInt32ItemValue(const UString& name) const
{
    return ValueOf<SInt32Item>(name);
}

std::shared_ptr<DoubleItem> ContainerItem::AddDoubleItem(const UString& name, double value)
{
    return AddValue<DoubleItem>(name, value, UString());
}

void ContainerItem::AddDoubleItem(const UString& name, double value, const UString& comment)
{
    AddValue<DoubleItem>(name, value, comment);
}

std::shared_ptr<DoubleItem> ContainerItem::GetDoubleItem(const UString& name) const
{
    return DoubleFromItem(GetItem(kDouble, name));
}

double ContainerItem::GetDoubleItemValue(const UString& name) const
{
    return ValueOf<DoubleItem>(name);
}

std::shared_ptr<OSTypeItem> ContainerItem::AddOSTypeItem(const UString& name, unsigned int value)
{
    return AddValue<OSTypeItem>(name, value, UString());
}

void ContainerItem::AddOSTypeItem(const UString& name, unsigned int value, const UString& comment)
{
    AddValue<OSTypeItem>(name, value, comment);
}

std::shared_ptr<OSTypeItem> ContainerItem::GetOSTypeItem(const UString& name) const
{
    return OSTypeFromItem(GetItem(kOSType, name));
}

unsigned int ContainerItem::GetOSTypeItemValue(const UString& name) const
{
    return ValueOf<OSTypeItem>(name);
}

std::shared_ptr<UStringItem> ContainerItem::AddUStringItem(const UString& name, const UString& value)
{
    return AddValue<UStringItem>(name, value, UString());
}

void ContainerItem::AddUStringItem(const UString& name, const UString& value, const UString& comment)
{
    AddValue<UStringItem>(name, value, comment);
}

std::shared_ptr<UStringItem> ContainerItem::GetUStringItem(const UString& name) const
{
    return UStringFromItem(GetItem(kUString, name));
}

UString ContainerItem::GetUStringItemValue(const UString& name) const
{
    return ValueOf<UStringItem>(name);
}

void ContainerItem::AddRawDataItem(const UString& name, const unsigned char* data, unsigned int size)
{
    AddRawDataItem(name, data, size, UString());
}

void ContainerItem::AddRawDataItem(const UString& name, const RawDataBuffer& buffer)
{
    AddRawDataItem(name, buffer.fData, buffer.fSize, UString());
}

void ContainerItem::AddRawDataItem(const UString& name, const unsigned char* data, unsigned int size,
                                   const UString& comment)
{
    if (!data) {
        FailMemFullError();
    }
    auto buffer = std::make_shared<RawDataBuffer>(size);
    std::memcpy(buffer->fData, data, size);
    AddItem(WithComment(CreateRawData(name, std::move(buffer)), comment));
}

void ContainerItem::AddRawDataItem(const UString& name, const RawDataBuffer& buffer, const UString& comment)
{
    AddRawDataItem(name, buffer.fData, buffer.fSize, comment);
}

std::shared_ptr<RawDataItem> ContainerItem::GetRawDataItem(const UString& name) const
{
    return RawDataFromItem(GetItem(kRawData, name));
}

unsigned int ContainerItem::GetRawDataItemValue(const UString& name, unsigned char* dest,
                                                unsigned int max) const
{
    auto item = GetRawDataItem(name);
    if (!item || !item->Get() || !item->Get()->fData) {
        return 0;
    }
    const RawDataBuffer& buffer = *item->Get();
    if (!dest) {
        return buffer.fSize;
    }
    unsigned int count = std::min(max, buffer.fSize);
    std::memcpy(dest, buffer.fData, count);
    return count;
}

std::shared_ptr<ContainerItem> ContainerItem::AddContainerItem(const UString& name)
{
    auto item = CreateContainer(name);
    AddItem(item);
    return item;
}

std::shared_ptr<ContainerItem> ContainerItem::AddContainerItem(const UString& name, const UString& comment)
{
    auto item = WithComment(CreateContainer(name), comment);
    AddItem(item);
    return item;
}

std::shared_ptr<ContainerItem> ContainerItem::GetContainerItem(const UString& name) const
{
    return ContainerFromItem(GetItem(kContainer, name));
}

} // namespace Pellix
