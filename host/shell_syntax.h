#pragma once
// Items and modules as a user types them on the shell, for the commands that need no project
// (kib-host read, write HOST, identify): V100, V100-120, V117:float, V200-203:string, WX5:unsigned,
// V10:long, C12, V40.3, and a module as HOST or HOST:PORT. Each item becomes the columns the host
// would store for it.

#include <QList>
#include <QString>

#include "project.h"

namespace kib_host {

// One item of the plugin: its uid is the text that names it alone (a word of a range gets its own,
// "V101" of "V100-120", with the type as typed: "V102:float" of "V100-103:float").
struct ShellItem
{
    QString uid;
    Columns columns;  // address_class, address_word, data_type
    bool hex = false; // :hex, an unsigned word shown and typed in hex: 0x04D2
};

// The value as the user sees it: a :hex item's in hex, 0x04D2; others as the plugin gives it.
QString shownValue(const ShellItem& item, const QString& value);
// The value text for the plugin from what the user typed: a :hex item's hex (04D2 or 0x04D2)
// as a number. False, with the reason, when a :hex item's text is no hex word.
bool typedValue(const ShellItem& item, const QString& text, QString* value, QString* error);

// The most items one text may name (a range of words).
constexpr int kMaxShellRangeItems = 10000;

// The items one text names, or false with one line that says what is wrong and shows the
// accepted forms.
bool parseShellItem(const QString& text, QList<ShellItem>* items, QString* error);

// ITEM=VALUE: the items and the value (everything after the first '=').
bool parseShellAssignment(const QString& text, QList<ShellItem>* items, QString* value,
                          QString* error);

// HOST or HOST:PORT; without a port, *port keeps the value it came with (4450, the registered
// CAMP port, unless -p gave another).
bool parseModuleAddress(const QString& text, QString* host, quint16* port, QString* error);

// The forms in one line, for the help and the error messages.
QString shellItemForms();

} // namespace kib_host
