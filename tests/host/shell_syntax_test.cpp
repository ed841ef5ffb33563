// Protects the items a user types for kib-host read and write: every form becomes the columns the
// host would store for it, and every mistake is named in one line that shows the accepted forms.

#include <gtest/gtest.h>

#include "shell_syntax.h"

using kib_host::ShellItem;

namespace {

// "uid class word type" of each item, joined by "; ".
QString described(const QList<ShellItem>& items)
{
    QStringList parts;
    for (const ShellItem& item : items) {
        parts.append(QStringLiteral("%1 %2 %3 %4")
                         .arg(item.uid, item.columns.value("address_class"),
                              item.columns.value("address_word"), item.columns.value("data_type")));
    }
    return parts.join(QStringLiteral("; "));
}

TEST(ShellItemSyntax, EveryFormAndEveryMistake)
{
    struct Row
    {
        const char* text;
        const char* items; // what it names, or empty when it is refused
        const char* error; // the reason told before the accepted forms
    };
    const Row rows[] = {
        {"V100", "V100 1 100 1", ""},
        {"K3:integer", "K3:integer 2 3 1", ""},
        {"WY7:int", "WY7:int 10 7 1", ""},
        {"STW259", "STW259 26 259 1", ""},
        {"WX5:unsigned", "WX5:unsigned 9 5 2", ""},
        {"V117:float", "V117:float 1 117 3", ""},
        {"C12", "C12 8 12 0", ""},
        {"V10:long", "V10:long 1 10 5", ""},
        {"K20-23:ulong", "K20:ulong 2 20 6; K22:ulong 2 22 6", ""},
        {"V40.3", "V40.3 1 40.3 0", ""},
        {"stw259.15:bit", "stw259.15:bit 26 259.15 0", ""},
        {"V16777215", "V16777215 1 16777215 1", ""},
        {"V100-102", "V100 1 100 1; V101 1 101 1; V102 1 102 1", ""},
        {"V100-103:float", "V100:float 1 100 3; V102:float 1 102 3", ""},
        {"V200-203:string", "V200-203:string 1 200-203 4", ""},
        {"V200:string", "V200:string 1 200-200 4", ""},
        {"", "", "an empty item"},
        {"100", "", "no memory class before the word"},
        {"Q100", "", "no memory class Q"},
        {"V", "", "no word address after V"},
        {"V16777216", "", "word 16777216 is beyond 16777215"},
        {"V100-", "", "no last word after '-'"},
        {"V120-100", "", "the range ends before it starts"},
        {"V100:double", "", "no type :double"},
        {"V100-102:float", "", "a float takes 2 words, and 100-102 holds 3"},
        {"V0-10000", "", "10001 items; a range names at most 10000"},
        {"V100x", "", "not an item"},
        {"V40.16", "", "a word has bits 0 to 15"},
        {"C12.1", "", "a word of C has only its bit 0, which C12 reads"},
        {"V40.3-5", "", "a bit of a word takes no range and no type but :bit"},
        {"V40.3.1", "", "not an item"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        QList<ShellItem> items;
        QString error;
        const bool parsed = kib_host::parseShellItem(QString::fromUtf8(row.text), &items, &error);
        EXPECT_EQ(parsed, *row.error == 0);
        EXPECT_EQ(described(items).toStdString(), row.items);
        if (!parsed) {
            EXPECT_EQ(error.toStdString(),
                      QStringLiteral("\"%1\": %2; %3")
                          .arg(QString::fromUtf8(row.text), QString::fromUtf8(row.error),
                               kib_host::shellItemForms())
                          .toStdString());
        }
    }
    EXPECT_TRUE(kib_host::shellItemForms().contains("V200-203:string"));
}

} // namespace
