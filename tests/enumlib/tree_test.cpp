// The device tree: parent links that survive growth and copies, and the pre-order walk.
#include "enumlib/EnumerateData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using Kavelor::CTree;

// Every child's pParent points at the node that holds it, all the way down.
template <class T> bool Consistent(const CTree<T>& node)
{
    for (const CTree<T>& child : node.children)
    {
        if (child.pParent != &node || !Consistent(child))
        {
            return false;
        }
    }
    return true;
}

std::vector<int> Walk(const CTree<int>& root)
{
    std::vector<int> visited;
    for (const CTree<int>* node = root.NextPreOrder(); node != nullptr; node = node->NextPreOrder())
    {
        visited.push_back(node->data);
    }
    return visited;
}

// 1 ( 2 ( 3 ( 4 ) ) 5 ( 6 7 ) ) 8: the walk must climb several levels at once after 4 and 7.
CTree<int> Sample()
{
    CTree<int> root(0);
    CTree<int>* one = root.AppendChild(1);
    one->AppendChild(2)->AppendChild(3)->AppendChild(4);
    CTree<int>* five = one->AppendChild(5);
    five->AppendChild(6);
    five->AppendChild(7);
    root.AppendChild(8);
    return root;
}

TEST(Tree, RootOnlyTreeWalksNothingAndHasNoSiblings)
{
    CTree<int> root(7);
    EXPECT_EQ(root.NextPreOrder(), nullptr);
    EXPECT_EQ(root.NextSibling(), nullptr);
    root.AppendChild(1);
    CTree<int>* last = root.AppendChild(2);
    EXPECT_EQ(last->NextSibling(), nullptr);
    EXPECT_EQ(root.children[0].NextSibling(), last);
}

TEST(Tree, PreOrderClimbsBackThroughSeveralLevels)
{
    CTree<int> root = Sample();
    EXPECT_EQ(Walk(root), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(Consistent(root));
}

TEST(Tree, ParentsStayCorrectWhileChildrenStorageGrows)
{
    CTree<int> root(0);
    for (int i = 0; i < 100; ++i)
    {
        CTree<int>* child = root.AppendChild(i);
        child->AppendChild(1000 + i)->AppendChild(2000 + i);
    }
    ASSERT_EQ(root.children.size(), 100u);
    EXPECT_TRUE(Consistent(root));
    for (int i = 0; i < 100; ++i)
    {
        EXPECT_EQ(root.children[i].data, i);
    }
    std::vector<int> visited = Walk(root);
    ASSERT_EQ(visited.size(), 300u);
    EXPECT_EQ(visited[297], 99);
    EXPECT_EQ(visited[299], 2099);
}

TEST(Tree, CopiedRecordIsIndependentOfItsSource)
{
    Kavelor::CUSBEnumerateExData source;
    source.wVendorId = 0x1234;
    source.treeDevice.data.strDeviceInstanceId = TEXT("USB\\VID_1234&PID_0001\\A");
    Kavelor::CUSBEnumerateExTreeData disk;
    disk.strEnumeratorName = TEXT("USBSTOR");
    source.treeDevice.AppendChild(disk)->AppendChild(Kavelor::CUSBEnumerateExTreeData());

    Kavelor::CUSBEnumerateExData copy = source;
    EXPECT_EQ(copy.treeDevice.pParent, nullptr);
    ASSERT_EQ(copy.treeDevice.children.size(), 1u);
    EXPECT_EQ(copy.treeDevice.children[0].pParent, &copy.treeDevice);
    EXPECT_EQ(copy.treeDevice.children[0].children[0].pParent, &copy.treeDevice.children[0]);

    copy.treeDevice.children[0].data.strEnumeratorName = TEXT("CHANGED");
    copy.treeDevice.AppendChild(Kavelor::CUSBEnumerateExTreeData());
    copy.treeDevice.children[0].data.lstUpperFilters.push_back(TEXT("Kavfiltr"));
    EXPECT_EQ(source.treeDevice.children.size(), 1u);
    EXPECT_EQ(source.treeDevice.children[0].data.strEnumeratorName, Kavelor::WString(TEXT("USBSTOR")));
    EXPECT_TRUE(source.treeDevice.children[0].data.lstUpperFilters.empty());

    // A walk over the copy never strays into the source.
    for (const auto* node = copy.treeDevice.NextPreOrder(); node != nullptr; node = node->NextPreOrder())
    {
        for (const auto* up = node; up != nullptr; up = up->pParent)
        {
            EXPECT_NE(up, &source.treeDevice);
        }
    }

    // Lists hold records by value: the list's copy survives the source going away.
    Kavelor::CUSBEnumerateExList list;
    {
        Kavelor::CUSBEnumerateExData temporary = source;
        list.push_back(temporary);
    }
    Kavelor::CUSBEnumerateExList listCopy = list;
    list.clear();
    ASSERT_EQ(listCopy.size(), 1u);
    EXPECT_TRUE(Consistent(listCopy.front().treeDevice));
    EXPECT_EQ(listCopy.front().treeDevice.children[0].children.size(), 1u);
}

TEST(Tree, AssignmentReplacesTheWholeSubtree)
{
    CTree<int> target = Sample();
    CTree<int> other(0);
    other.AppendChild(9)->AppendChild(10);
    target = other;
    EXPECT_EQ(Walk(target), (std::vector<int>{9, 10}));
    EXPECT_TRUE(Consistent(target));
    target = Sample();
    EXPECT_EQ(Walk(target), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(Consistent(target));
}
// An assigned inner node stays in its own tree: a walk of the target neither climbs into the source nor
// skips the target's nodes after it.
TEST(Tree, AssigningAnInnerNodeKeepsItInTheTargetTree)
{
    CTree<int> target = Sample();
    CTree<int> source(100);
    source.AppendChild(101)->AppendChild(102);
    source.AppendChild(103);

    target.children[0].children[1] = source.children[0]; // 5 ( 6 7 ) becomes 101 ( 102 )
    EXPECT_EQ(target.children[0].children[1].pParent, &target.children[0]);
    EXPECT_TRUE(Consistent(target));
    EXPECT_EQ(Walk(target), (std::vector<int>{1, 2, 3, 4, 101, 102, 8}));

    target.children[0] = std::move(source.children[1]); // 1 (...) becomes 103
    EXPECT_EQ(target.children[0].pParent, &target);
    EXPECT_EQ(Walk(target), (std::vector<int>{103, 8}));
    EXPECT_EQ(Walk(source), (std::vector<int>{101, 102, 103}));
}

// A copy of an inner node is a tree of its own: its walk covers its subtree and ends there.
TEST(Tree, ACopiedInnerNodeIsARootOfItsOwn)
{
    CTree<int> tree = Sample();
    CTree<int> inner = tree.children[0].children[0]; // 2 ( 3 ( 4 ) )
    EXPECT_EQ(inner.pParent, nullptr);
    EXPECT_TRUE(Consistent(inner));
    EXPECT_EQ(Walk(inner), (std::vector<int>{3, 4}));
    EXPECT_EQ(inner.NextSibling(), nullptr);

    Kavelor::CUSBEnumerateExData record;
    record.treeDevice.AppendChild(Kavelor::CUSBEnumerateExTreeData())
        ->AppendChild(Kavelor::CUSBEnumerateExTreeData());
    Kavelor::CUSBEnumerateExData other;
    other.treeDevice.AppendChild(Kavelor::CUSBEnumerateExTreeData());
    other.treeDevice.children[0] = record.treeDevice.children[0];
    EXPECT_EQ(other.treeDevice.children[0].pParent, &other.treeDevice);
    EXPECT_EQ(other.treeDevice.children[0].children[0].pParent, &other.treeDevice.children[0]);
}
} // namespace
