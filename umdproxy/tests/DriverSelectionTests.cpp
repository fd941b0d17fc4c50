// The walk of the kernel-mode driver's name lists: which entry is copied,
// and that a short, unterminated or oversized list copies nothing and never
// reads past its 1040 code units.
#include <cwchar>
#include <vector>

#include "AdapterRecord.h"
#include "UmdTestSupport.h"

using namespace umdtest;

namespace {

// A list of 1040 units followed by 64 more filled with letters: a walk that
// read past the list would find more names there.
std::vector<wchar_t> MakeList(const std::vector<std::wstring>& names, bool terminate = true)
{
    std::vector<wchar_t> list(brisel::kUmdNameListUnits + 64, L'Z');
    std::size_t pos = 0;
    for (const auto& n : names) {
        for (wchar_t c : n) list[pos++] = c;
        list[pos++] = L'\0';
    }
    if (terminate) list[pos] = L'\0';
    return list;
}

TEST(DriverNameListTest, CopiesTheRequestedEntryOnly)
{
    auto list = MakeList({L"d3d9.dll", L"d3d10.dll", L"d3d11.dll", L"d3d12.dll"});
    const struct {
        unsigned entry;
        const wchar_t* expected;  // nullptr: nothing copied
    } cases[] = {
        {0, L"d3d9.dll"}, {1, L"d3d10.dll"}, {2, L"d3d11.dll"}, {3, L"d3d12.dll"}, {4, nullptr},
    };
    for (const auto& c : cases) {
        wchar_t dest[64];
        std::wmemset(dest, L'#', 64);
        bool copied = brisel::CopyNameListEntry(list.data(), brisel::kUmdNameListUnits, c.entry, dest, 64);
        EXPECT_EQ(copied, c.expected != nullptr) << c.entry;
        if (c.expected) {
            EXPECT_STREQ(dest, c.expected);
        } else {
            EXPECT_EQ(dest[0], L'#') << "destination untouched";
        }
    }
}

TEST(DriverNameListTest, ShortEmptyAndUnterminatedListsCopyNothing)
{
    wchar_t dest[64] = {};
    auto shortList = MakeList({L"only9.dll"});
    EXPECT_FALSE(brisel::CopyNameListEntry(shortList.data(), brisel::kUmdNameListUnits, 1, dest, 64));
    auto empty = MakeList({});
    EXPECT_FALSE(brisel::CopyNameListEntry(empty.data(), brisel::kUmdNameListUnits, 0, dest, 64));

    // Entry 0 is complete, but the list never ends within its 1040 units: the
    // whole list is untrustworthy.
    std::vector<wchar_t> unterminated(brisel::kUmdNameListUnits + 16, L'a');
    unterminated[4] = L'\0';
    EXPECT_FALSE(brisel::CopyNameListEntry(unterminated.data(), brisel::kUmdNameListUnits, 0, dest, 64));

    // The terminating empty string as the very last unit is still inside.
    std::vector<wchar_t> exact(brisel::kUmdNameListUnits, L'b');
    exact[5] = L'\0';
    exact[brisel::kUmdNameListUnits - 2] = L'\0';
    exact[brisel::kUmdNameListUnits - 1] = L'\0';
    EXPECT_TRUE(brisel::CopyNameListEntry(exact.data(), brisel::kUmdNameListUnits, 0, dest, 64));
    EXPECT_STREQ(dest, L"bbbbb");
}

TEST(DriverNameListTest, NameThatDoesNotFitTheDestinationIsNotCopied)
{
    auto list = MakeList({std::wstring(259, L'n'), std::wstring(260, L'm')});
    std::vector<wchar_t> dest(260, L'#');
    EXPECT_TRUE(brisel::CopyNameListEntry(list.data(), brisel::kUmdNameListUnits, 0, dest.data(), 260));
    EXPECT_EQ(std::wcslen(dest.data()), 259u);
    std::fill(dest.begin(), dest.end(), L'#');
    EXPECT_FALSE(brisel::CopyNameListEntry(list.data(), brisel::kUmdNameListUnits, 1, dest.data(), 260));
    EXPECT_EQ(dest[0], L'#');
}

class SelectDriverNameTest : public UmdTest {};

TEST_F(SelectDriverNameTest, ApiVersionPicksEntryAndWow64PicksList)
{
    brisel::AdapterPrivateData block{};
    fakes::WriteNameList(block.umdNames, {L"n9", L"n10", L"n11", L"n12"});
    fakes::WriteNameList(block.umdNamesWow, {L"w9", L"w10", L"w11", L"w12"});
    const struct {
        bool wow64;
        unsigned api;
        const wchar_t* expected;
    } cases[] = {
        {false, 9, L"n9"}, {false, 10, L"n10"}, {false, 11, L"n11"}, {false, 12, L"n12"},
        {true, 9, L"w9"},  {true, 12, L"w12"},  {false, 8, L""},     {false, 13, L""},
    };
    for (const auto& c : cases) {
        Seams().wow64 = c.wow64;
        wchar_t dest[brisel::kUmdNameListUnits] = {};
        brisel::SelectDriverName(block, c.api, dest, brisel::kUmdNameListUnits);
        EXPECT_STREQ(dest, c.expected) << c.api << (c.wow64 ? " wow64" : "");
    }
}

}  // namespace
