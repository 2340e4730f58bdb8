// Shared types: string and data buffers, owning arrays, text conversion,
// progress monitor.
#include <gtest/gtest.h>

#include "mail/base/component_object.h"
#include "mail/base/ext_ptr_array.h"
#include "mail/base/progress_monitor.h"
#include "mail/base/string_buffer.h"
#include "mail/base/unicode.h"
#include "mail/base/x_string.h"

using namespace zelmar::mail;

TEST(StringBufferOps, AppendTrimReplace) {
    StringBuffer s;
    EXPECT_TRUE(s.isEmpty());
    EXPECT_STREQ(s.getString(), "");
    s.append(" \t Hello, World \r\n");
    s.trim();
    EXPECT_EQ(s.str(), "Hello, World");
    EXPECT_EQ(s.replaceAll("o", "0"), 2u);
    EXPECT_EQ(s.str(), "Hell0, W0rld");
    EXPECT_TRUE(s.replaceFirst("l", "L"));
    EXPECT_EQ(s.str(), "HeLl0, W0rld");
    EXPECT_FALSE(s.replaceFirst("zz", "y"));
    EXPECT_EQ(s.replaceAll("", "x"), 0u);
    s.setString("aaa");
    EXPECT_EQ(s.replaceAll("a", "aa"), 3u);  // no re-scan of replaced text
    EXPECT_EQ(s.str(), "aaaaaa");
    s.setString(std::string_view(s.str()).substr(1, 2));  // aliasing our own bytes
    EXPECT_EQ(s.str(), "aa");
    EXPECT_TRUE(s.checkOk());
}

// Appending our own text: the first reservation must not move the bytes
// being appended (short texts live inside the object, longer ones on the
// heap; a copy holds no more capacity than it needs).
TEST(StringBufferOps, AppendOwnText) {
    for (std::string text : {std::string("short"), std::string(40, 'x') + "y"}) {
        const StringBuffer a(text);
        StringBuffer b = a;
        b.append(b.view());
        EXPECT_EQ(b.str(), text + text);
        StringBuffer c = a;
        c.append(c.view().substr(1));
        EXPECT_EQ(c.str(), text + text.substr(1));
        StringBuffer d = a;
        d.removeChars(d.view().substr(0, 1));
        EXPECT_EQ(d.str().find(text[0]), std::string::npos);
        EXPECT_TRUE(b.checkOk());
    }
}

TEST(StringBufferOps, CaseInsensitiveCompareAndSearch) {
    StringBuffer s("Content-Type");
    EXPECT_TRUE(s.equalsIgnoreCase("content-TYPE"));
    EXPECT_FALSE(s.equalsIgnoreCase("content-typ"));
    EXPECT_TRUE(s.beginsWithIgnoreCase("CONTENT"));
    EXPECT_TRUE(s.containsIgnoreCase("t-t"));
    EXPECT_EQ(s.findIgnoreCase("TYPE"), 8u);
    EXPECT_EQ(findNoCase("abc", "abcd"), std::string_view::npos);
    EXPECT_EQ(findNoCase("", ""), 0u);
    s.toLowerCase();
    EXPECT_EQ(s.str(), "content-type");
    s.toUpperCase();
    EXPECT_EQ(s.str(), "CONTENT-TYPE");
    // Case folding is ASCII only: 8-bit bytes are left alone.
    EXPECT_FALSE(equalsNoCase("\xC3\xA4", "\xC3\x84"));
}

TEST(StringBufferOps, HtmlEscapeOrderAndNuls) {
    StringBuffer s("<a href=\"x\">&amp;</a>");
    s.htmlEscape();
    EXPECT_EQ(s.str(), "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;");
    StringBuffer z(std::string_view("a\0b", 3));
    EXPECT_EQ(z.getSize(), 3u);
    z.removeChars(std::string_view("\0", 1));
    EXPECT_EQ(z.str(), "ab");
}

TEST(StringBufferOps, FirstAllocationIsReserved) {
    StringBuffer s;
    s.append("x");
    EXPECT_GE(s.str().capacity(), StringBuffer::kFirstAllocation);
}

TEST(DataBufferOps, BinarySafe) {
    DataBuffer d;
    d.append("\0\xFF", 2);
    d.appendByte(0x80);
    EXPECT_EQ(d.getSize(), 3u);
    EXPECT_EQ(d.data()[1], 0xFF);
    EXPECT_TRUE(d.checkOk());
}

namespace {
struct Tracked : ComponentObject {
    explicit Tracked(int* c) : counter(c) { ++*counter; }
    ~Tracked() override { --*counter; }
    int* counter;
};
}  // namespace

TEST(ExtPtrArrayOps, OwnsAndDestroys) {
    int live = 0;
    {
        ExtPtrArray<Tracked> arr;
        arr.append(std::make_unique<Tracked>(&live));
        arr.append(std::make_unique<Tracked>(&live));
        arr.insertAt(99, std::make_unique<Tracked>(&live));
        EXPECT_EQ(live, 3);
        EXPECT_EQ(arr.size(), 3u);
        EXPECT_EQ(arr.at(3), nullptr);
        EXPECT_TRUE(arr.removeAt(0));
        EXPECT_FALSE(arr.removeAt(7));
        EXPECT_EQ(live, 2);
        auto taken = arr.release(0);
        EXPECT_EQ(live, 2);
        taken.reset();
        EXPECT_EQ(live, 1);
        EXPECT_EQ(arr.append(nullptr), nullptr);
    }
    EXPECT_EQ(live, 0);
}

TEST(ExtPtrArrayOps, SerialNumbersAreDistinct) {
    ComponentObject a, b;
    ComponentObject c(a);
    EXPECT_NE(a.serialNumber(), b.serialNumber());
    EXPECT_NE(a.serialNumber(), c.serialNumber());
}

TEST(ExtIntArrayOps, Basics) {
    ExtIntArray a;
    a.append(4);
    a.append(-1);
    EXPECT_EQ(a.at(1), -1);
    EXPECT_EQ(a.at(5), 0);
    EXPECT_TRUE(a.contains(4));
    EXPECT_TRUE(a.setAt(0, 9));
    EXPECT_FALSE(a.setAt(2, 9));
    EXPECT_TRUE(a.removeAt(0));
    EXPECT_EQ(a.size(), 1u);
}

TEST(UnicodeConversion, RoundTripAndMalformed) {
    const std::string s = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
    std::u16string u;
    ASSERT_TRUE(utf8ToUtf16(s, u));
    EXPECT_EQ(u, (std::u16string{u'A', 0xE9, 0x20AC, 0xD83D, 0xDE00}));
    std::string back;
    ASSERT_TRUE(utf16ToUtf8(u, back));
    EXPECT_EQ(back, s);

    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xE2\x82", "\xFF", "\xF4\x90\x80\x80"}) {
        EXPECT_FALSE(utf8ToUtf16(bad, u)) << bad;
        EXPECT_EQ(u.back(), 0xFFFD);
    }
    EXPECT_FALSE(utf16ToUtf8(std::u16string{0xD800, u'a'}, back));
}

TEST(XStringOps, ConvertsBetweenForms) {
    XString x;
    x.setFromUtf16(u"Gr\u00FC\u00DFe");
    EXPECT_EQ(x.getUtf8(), "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(x.getAnsi(), x.getUtf8());
    EXPECT_EQ(x.getUtf16(), u"Gr\u00FC\u00DFe");
    EXPECT_FALSE(x.is7Bit());
    x.setFromAnsi("plain");
    EXPECT_TRUE(x.is7Bit());
}

TEST(ProgressMonitorOps, AbortQueryAndStickiness) {
    EXPECT_FALSE(abortRequested(nullptr));  // no monitor: nothing can abort
    int asked = 0;
    ProgressMonitor pm([&] { return ++asked >= 2; });
    EXPECT_FALSE(pm.abortCheck());
    EXPECT_TRUE(pm.abortCheck());
    EXPECT_TRUE(pm.abortCheck());
    EXPECT_EQ(asked, 2);  // the answer sticks
    ProgressMonitor other;
    other.requestAbort();
    EXPECT_TRUE(abortRequested(&other));
    std::uint64_t seen = 0;
    other.setProgressReport([&](std::uint64_t d, std::uint64_t) { seen = d; });
    other.setTotal(10);
    other.consume(4);
    other.consume(40);
    EXPECT_EQ(seen, 10u);
}
