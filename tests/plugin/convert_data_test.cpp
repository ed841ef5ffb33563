// Protects the value texts of a poll: every data type and class from well-formed reply words, and
// words that are not four hex digits, which decode as QByteArray::fromHex does for the words joined
// (what is not a hex digit is skipped and the pairing runs from the end).

#include <gtest/gtest.h>

#include "app_camp_nitp.h"

namespace {

struct ConvertCase
{
    const char* name;
    int addressClass;
    int dataType;
    Words words;
    QString expected;
};

ItemInstancePlugin itemOf(int addressClass, int dataType)
{
    ItemInstancePlugin item;
    item.columns.insert(QStringLiteral("address_class"), QString::number(addressClass));
    item.columns.insert(QStringLiteral("data_type"), QString::number(dataType));
    return item;
}

} // namespace

TEST(ConvertData, GivesTheValueTextOfEveryTypeAndOfOddWords)
{
    enum { V = 1, X = 6, C = 8 };
    enum { Bit = 0, Integer = 1, Unsigned = 2, Float = 3, String = 4 };
    const ConvertCase cases[] = {
        {"signed", V, Integer, {"FFFE"}, "-2"},
        {"unsigned", V, Unsigned, {"FFFE"}, "65534"},
        {"most negative", V, Integer, {"8000"}, "-32768"},
        {"zero", V, Unsigned, {"0000"}, "0"},
        {"bit type reads the word", V, Bit, {"0102"}, "258"},
        {"lower-case hex", V, Integer, {"fffe"}, "-2"},
        {"float", V, Float, {"3F80", "0000"}, "1"},
        {"float of one word reads zeros after it", V, Float, {"3F80"}, "1"},
        {"string to its first zero", V, String, {"4142", "4300"}, "ABC"},
        {"string all zeros", V, String, {"0000", "0000"}, ""},
        {"discrete bit set", X, Integer, {"0003"}, "1"},
        {"discrete bit clear", C, Float, {"0002"}, "0"},
        {"no words", V, Integer, {}, ""},
        {"one byte only", V, Integer, {"12"}, ""},
        {"three digits pair from the end", V, Unsigned, {"123"}, "291"},
        {"junk skipped", V, Unsigned, {"00G1"}, "1"},
        {"junk in a later word shifts the first", V, Unsigned, {"1234", "5G78"}, "291"},
    };
    for (const ConvertCase& c : cases) {
        ItemInstancePlugin item = itemOf(c.addressClass, c.dataType);
        EXPECT_EQ(App_CAMP_NITP::convertData(&item, c.words), c.expected)
            << c.name << ": expected " << c.expected.toStdString();
    }
}
