#pragma once

// Helpers of the item-tree tests: reading and writing documents in memory, and comparing trees.

#include "Utf8Text.h"
#include "XML/XMLSerializable.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

namespace ItemTrees {

inline std::shared_ptr<Pellix::ContainerItem> Read(const std::string& text,
                                                   unsigned int language = Pellix::MakeItemType("enus"))
{
    std::istringstream in(text);
    return Pellix::ReadContainerFromFile(&in, language);
}

inline std::string Written(Pellix::ContainerItem& container)
{
    std::ostringstream out;
    container.WriteToFile(&out);
    return out.str();
}

inline bool SameBytes(const Pellix::RawDataItem& a, const Pellix::RawDataItem& b)
{
    auto size = [](const Pellix::RawDataItem& item) {
        return item.Get() && item.Get()->fData ? item.Get()->fSize : 0u;
    };
    return size(a) == size(b) && (size(a) == 0 || std::memcmp(a.Get()->fData, b.Get()->fData, size(a)) == 0);
}

// The first difference of values, names and types between two trees, or empty when they are equal.
inline std::string Difference(const Pellix::Item& a, const Pellix::Item& b, const std::string& path = "")
{
    std::string here = path + "/" + a.GetName().utf8_str();
    if (a.GetType() != b.GetType() || !(a.GetName() == b.GetName())) {
        return here + ": type or name";
    }
    using namespace Pellix;
    bool same = true;
    if (auto* x = dynamic_cast<const SInt32Item*>(&a)) {
        same = x->Get() == dynamic_cast<const SInt32Item&>(b).Get();
    } else if (auto* d = dynamic_cast<const DoubleItem*>(&a)) {
        double other = dynamic_cast<const DoubleItem&>(b).Get();
        same = d->Get() == other || (std::isnan(d->Get()) && std::isnan(other));
    } else if (auto* o = dynamic_cast<const OSTypeItem*>(&a)) {
        same = o->Get() == dynamic_cast<const OSTypeItem&>(b).Get();
    } else if (auto* t = dynamic_cast<const UStringItem*>(&a)) {
        same = t->Get() == dynamic_cast<const UStringItem&>(b).Get();
    } else if (auto* r = dynamic_cast<const RawDataItem*>(&a)) {
        same = SameBytes(*r, dynamic_cast<const RawDataItem&>(b));
    } else if (auto* c = dynamic_cast<const ContainerItem*>(&a)) {
        auto& other = dynamic_cast<const ContainerItem&>(b);
        if (c->GetNumItems() != other.GetNumItems()) {
            return here + ": child count";
        }
        for (unsigned int i = 0; i < c->GetNumItems(); ++i) {
            std::string difference = Difference(*c->GetNthItem(i), *other.GetNthItem(i), here);
            if (!difference.empty()) {
                return difference;
            }
        }
    }
    return same ? std::string() : here + ": value";
}

} // namespace ItemTrees
