// CTree: the generic value tree that holds the device nodes of one USB device. Nodes own their children by
// value; every child's pParent points at the node that holds it. Because children live in a growing
// sequence, any append or copy may move nodes, so every operation that moves them re-links the parents of
// the whole subtree (RelinkParents) before anyone walks it again. Copies and assignments are self-contained
// at every level: a copied node is a root, an assigned node stays where it is, and no pointer of either
// leads into the source.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace Kavelor
{
template <class T> class CTree
{
public:
    T data{};
    CTree* pParent = nullptr;
    std::vector<CTree> children;

    CTree() = default;
    explicit CTree(const T& payload) : data(payload) {}

    // A copy is a tree of its own: its root has no parent (whatever node it was taken from) until a node
    // that holds it re-links it, and every node below points into the copy.
    CTree(const CTree& other) : data(other.data), pParent(nullptr), children(other.children)
    {
        RelinkParents();
    }

    // Moving the children storage keeps the nodes but not this node's address: re-link them to it.
    CTree(CTree&& other) noexcept
        : data(std::move(other.data)), pParent(nullptr), children(std::move(other.children))
    {
        RelinkParents();
    }

    // Assignment replaces the payload and the subtree; the node keeps its own place (pParent) in the tree
    // that holds it, so an assigned inner node never points into the source's tree.
    CTree& operator=(const CTree& other)
    {
        if (this != &other)
        {
            CTree copy(other);
            *this = std::move(copy);
        }
        return *this;
    }

    CTree& operator=(CTree&& other) noexcept
    {
        if (this != &other)
        {
            data = std::move(other.data);
            children = std::move(other.children);
            RelinkParents();
        }
        return *this;
    }

    // The returned pointer stays valid only until the next append to this node.
    CTree* AppendChild(const T& payload)
    {
        children.emplace_back(payload);
        children.back().pParent = this;
        RelinkParents();
        return &children.back();
    }

    void RelinkParents()
    {
        for (CTree& child : children)
        {
            child.pParent = this;
            child.RelinkParents();
        }
    }

    // Found by identity among the parent's children; null for a root, the last child, or a detached copy
    // whose pParent does not hold it.
    CTree* NextSibling() const
    {
        if (pParent == nullptr)
        {
            return nullptr;
        }
        std::vector<CTree>& siblings = pParent->children;
        for (size_t at = 0; at < siblings.size(); ++at)
        {
            if (&siblings[at] == this)
            {
                return at + 1 < siblings.size() ? &siblings[at + 1] : nullptr;
            }
        }
        return nullptr;
    }

    // Depth-first pre-order: first child, else the next sibling of this node or of the nearest ancestor
    // that has one; null when the climb passes a node without parent.
    CTree* NextPreOrder() const
    {
        if (!children.empty())
        {
            return const_cast<CTree*>(&children.front());
        }
        for (const CTree* node = this; node->pParent != nullptr; node = node->pParent)
        {
            if (CTree* next = node->NextSibling())
            {
                return next;
            }
        }
        return nullptr;
    }
};
} // namespace Kavelor
