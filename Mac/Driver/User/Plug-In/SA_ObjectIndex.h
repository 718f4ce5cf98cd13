#pragma once

// A table from 32-bit ids to entries that lookups read without any lock, while one writer at a
// time (the object map, under its mutex) sets and clears ids. The audio server's IO thread looks
// its device up several times a cycle and must never wait for a thread that maps, unmaps or
// destroys objects.
//
// It is a trie over the id's four bytes. Nodes are created on first use and freed only with the
// index, so a lookup never reads freed memory. Ids are handed out in order and never reused, so
// the nodes cost about 8 bytes for every id ever set. An entry found may be cleared and reused by
// the time the caller uses it; the caller checks it again with Find once it holds it.

#include <CoreAudio/AudioHardwareBase.h>

#include <array>
#include <atomic>

template <typename Entry>
class SA_ObjectIndex
{
public:
    SA_ObjectIndex() = default;
    SA_ObjectIndex(const SA_ObjectIndex&) = delete;
    SA_ObjectIndex& operator=(const SA_ObjectIndex&) = delete;
    ~SA_ObjectIndex() { FreeChildren(fRoot); }

    // The entry of an id, or null. Safe on any thread, at any time.
    Entry* Find(AudioObjectID objectID) const
    {
        const Upper* upper = fRoot.fSlots[Byte(objectID, 3)].load(std::memory_order_acquire);
        if (upper == nullptr) {
            return nullptr;
        }
        const Middle* middle = upper->fSlots[Byte(objectID, 2)].load(std::memory_order_acquire);
        if (middle == nullptr) {
            return nullptr;
        }
        const Leaf* leaf = middle->fSlots[Byte(objectID, 1)].load(std::memory_order_acquire);
        return leaf != nullptr ? leaf->fSlots[Byte(objectID, 0)].load(std::memory_order_acquire) : nullptr;
    }

    // The writer's alone: sets and clears are never concurrent with each other. An entry is
    // published with release order, so a lookup that finds it sees what was written before.
    void Set(AudioObjectID objectID, Entry* entry)
    {
        Leaf& leaf =
            ChildOf(ChildOf(ChildOf(fRoot, Byte(objectID, 3)), Byte(objectID, 2)), Byte(objectID, 1));
        leaf.fSlots[Byte(objectID, 0)].store(entry, std::memory_order_release);
    }

    void Clear(AudioObjectID objectID)
    {
        if (Find(objectID) != nullptr) {
            Set(objectID, nullptr);
        }
    }

private:
    template <typename Slot>
    struct Node
    {
        std::array<std::atomic<Slot*>, 256> fSlots{};
    };
    using Leaf = Node<Entry>;
    using Middle = Node<Leaf>;
    using Upper = Node<Middle>;
    using Root = Node<Upper>;

    static unsigned Byte(AudioObjectID objectID, int index) { return (objectID >> (8 * index)) & 0xFF; }

    template <typename Child>
    static Child& ChildOf(Node<Child>& node, unsigned index)
    {
        Child* child = node.fSlots[index].load(std::memory_order_relaxed);
        if (child == nullptr) {
            child = new Child;
            node.fSlots[index].store(child, std::memory_order_release);
        }
        return *child;
    }

    template <typename Child>
    static void FreeChildren(Node<Child>& node)
    {
        for (auto& slot : node.fSlots) {
            if (Child* child = slot.load(std::memory_order_relaxed)) {
                FreeChildren(*child);
                delete child;
            }
        }
    }

    static void FreeChildren(Leaf&) {}

    Root fRoot;
};
