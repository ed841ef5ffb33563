#include "shell_syntax.h"

#include <QRegularExpression>
#include <QStringList>

namespace kib_host {

namespace {

enum DataType { kBit = 0, kInteger = 1, kUnsigned = 2, kFloat = 3, kString = 4 };

// The memory classes by the letters a user types (in any case) and their address_class code. A
// word of a discrete class reads as its bit 0 without a suffix, and has no other bits to name; a
// word of any other class reads as a signed word, and V40.3 names bit 3 of V40.
struct ClassForm
{
    const char* letters;
    int code;
    bool discrete;
};
constexpr ClassForm kClasses[] = {
    {"V", 1, false}, {"K", 2, false},  {"X", 6, true},    {"Y", 7, true},
    {"C", 8, true},  {"WX", 9, false}, {"WY", 10, false}, {"STW", 26, false},
};

// The suffixes after ':', their data_type code, and the words one value takes. A String takes the
// whole range as one value; every other type makes one item of each value in a range.
struct TypeForm
{
    const char* name;
    int code;
    int words;
    bool hex = false; // an unsigned word shown and typed in hex
};
constexpr TypeForm kTypes[] = {
    {"int", kInteger, 1},
    {"integer", kInteger, 1},
    {"unsigned", kUnsigned, 1},
    {"hex", kUnsigned, 1, true},
    {"float", kFloat, 2},
    {"string", kString, 1},
    {"bit", kBit, 1},
    {"long", 5, 2},
    {"ulong", 6, 2},
};

// The highest word the address_word column takes, and the highest bit of a word.
constexpr quint32 kMaxWord = 16777215;
constexpr int kMaxBit = 15;

// CLASS WORD[.BIT][-LAST][:TYPE]
enum Part { kLetters = 1, kWord, kBitOfWord, kLast, kType };
const QRegularExpression& itemPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^([A-Za-z]*)([0-9]*)(?:\\.([0-9]*))?(?:-([0-9]*))?(?::(.*))?$"));
    return pattern;
}

QString classList()
{
    QStringList names;
    for (const ClassForm& form : kClasses) {
        names.append(QLatin1String(form.letters));
    }
    return names.join(QStringLiteral(", "));
}

QString typeList()
{
    QStringList names;
    for (const TypeForm& form : kTypes) {
        names.append(QLatin1Char(':') + QLatin1String(form.name));
    }
    return names.join(QStringLiteral(", "));
}

bool refuse(const QString& text, const QString& reason, QString* error)
{
    *error = QStringLiteral("\"%1\": %2; %3").arg(text, reason, shellItemForms());
    return false;
}

const ClassForm* findClass(const QString& letters)
{
    for (const ClassForm& form : kClasses) {
        if (letters.compare(QLatin1String(form.letters), Qt::CaseInsensitive) == 0) {
            return &form;
        }
    }
    return nullptr;
}

const TypeForm* findType(const QString& name)
{
    for (const TypeForm& form : kTypes) {
        if (name.compare(QLatin1String(form.name), Qt::CaseInsensitive) == 0) {
            return &form;
        }
    }
    return nullptr;
}

// A word address of at most kMaxWord; digits only, as the pattern took them.
bool wordNumber(const QString& digits, quint32* word)
{
    bool ok = false;
    const qulonglong number = digits.toULongLong(&ok);
    *word = static_cast<quint32>(number);
    return ok && number <= kMaxWord;
}

Columns columnsOf(const ClassForm& form, const QString& word, int type)
{
    return {{QStringLiteral("address_class"), QString::number(form.code)},
            {QStringLiteral("address_word"), word},
            {QStringLiteral("data_type"), QString::number(type)}};
}

bool parseItemForms(const QString& text, QList<ShellItem>* items, QString* error);

} // namespace

QString shellItemForms()
{
    return QStringLiteral("items are written V100, V100-120, V117:float, V200-203:string, "
                          "WX5:unsigned, C12, V40.3 (classes %1; types %2)")
        .arg(classList(), typeList());
}

bool parseShellItem(const QString& text, QList<ShellItem>* items, QString* error)
{
    const int before = items->size();
    if (!parseItemForms(text, items, error)) {
        return false;
    }
    const QString type = text.mid(text.indexOf(QLatin1Char(':')) + 1);
    const bool hex = text.contains(QLatin1Char(':')) && findType(type) && findType(type)->hex;
    for (int i = before; i < items->size(); ++i) {
        (*items)[i].hex = hex;
    }
    return true;
}

QString shownValue(const ShellItem& item, const QString& value)
{
    bool ok = false;
    const uint word = value.toUInt(&ok);
    if (!item.hex || !ok || word > 0xFFFF) {
        return value;
    }
    return QStringLiteral("0x") + QString::number(word, 16).toUpper().rightJustified(4, '0');
}

bool typedValue(const ShellItem& item, const QString& text, QString* value, QString* error)
{
    *value = text;
    if (!item.hex) {
        return true;
    }
    static const QRegularExpression hexWord(QStringLiteral("^(?:0[xX])?([0-9A-Fa-f]{1,4})$"));
    const QRegularExpressionMatch match = hexWord.match(text);
    if (!match.hasMatch()) {
        *error = QStringLiteral("Invalid value (hex: 0x0000 to 0xFFFF)");
        return false;
    }
    *value = QString::number(match.captured(1).toUInt(nullptr, 16));
    return true;
}

namespace {

bool parseItemForms(const QString& text, QList<ShellItem>* items, QString* error)
{
    const QRegularExpressionMatch match = itemPattern().match(text);
    if (text.isEmpty()) {
        return refuse(text, QStringLiteral("an empty item"), error);
    }
    if (!match.hasMatch()) {
        return refuse(text, QStringLiteral("not an item"), error);
    }
    const QString letters = match.captured(kLetters);
    const QString firstText = match.captured(kWord);
    const bool isBit = match.capturedStart(kBitOfWord) >= 0;
    const bool isRange = match.capturedStart(kLast) >= 0;
    const bool typed = match.capturedStart(kType) >= 0;
    const QString typeText = match.captured(kType);
    const ClassForm* form = findClass(letters);
    if (letters.isEmpty()) {
        return refuse(text, QStringLiteral("no memory class before the word"), error);
    }
    if (!form) {
        return refuse(text, QStringLiteral("no memory class %1").arg(letters), error);
    }
    if (firstText.isEmpty()) {
        return refuse(text, QStringLiteral("no word address after %1").arg(letters), error);
    }
    quint32 first = 0;
    if (!wordNumber(firstText, &first)) {
        return refuse(text, QStringLiteral("word %1 is beyond %2").arg(firstText).arg(kMaxWord),
                      error);
    }
    const TypeForm* type = nullptr;
    if (typed) {
        type = findType(typeText);
        if (!type) {
            return refuse(text, QStringLiteral("no type :%1").arg(typeText), error);
        }
    }

    if (isBit) {
        const QString bitText = match.captured(kBitOfWord);
        if (form->discrete) {
            return refuse(text,
                          QStringLiteral("a word of %1 has only its bit 0, which %1%2 reads")
                              .arg(letters.toUpper())
                              .arg(first),
                          error);
        }
        if (bitText.isEmpty() || bitText.size() > 2 || bitText.toInt() > kMaxBit) {
            return refuse(text, QStringLiteral("a word has bits 0 to %1").arg(kMaxBit), error);
        }
        if (isRange || (type && type->code != kBit)) {
            return refuse(
                text, QStringLiteral("a bit of a word takes no range and no type but :bit"), error);
        }
        items->append(
            {text,
             columnsOf(*form, QStringLiteral("%1.%2").arg(first).arg(bitText.toInt()), kBit)});
        return true;
    }

    quint32 last = first;
    if (isRange) {
        const QString lastText = match.captured(kLast);
        if (lastText.isEmpty()) {
            return refuse(text, QStringLiteral("no last word after '-'"), error);
        }
        if (!wordNumber(lastText, &last)) {
            return refuse(text, QStringLiteral("word %1 is beyond %2").arg(lastText).arg(kMaxWord),
                          error);
        }
        if (last < first) {
            return refuse(text, QStringLiteral("the range ends before it starts"), error);
        }
    }
    const int dataType = type ? type->code : form->discrete ? kBit : kInteger;
    const QString suffix = typed ? QLatin1Char(':') + typeText : QString();

    if (dataType == kString) {
        // One value of the whole range, two characters a word.
        items->append(
            {text, columnsOf(*form, QStringLiteral("%1-%2").arg(first).arg(last), kString)});
        return true;
    }
    const quint32 words = type ? static_cast<quint32>(type->words) : 1;
    if (!isRange) {
        items->append({text, columnsOf(*form, QString::number(first), dataType)});
        return true;
    }
    const quint32 span = last - first + 1;
    if (span % words != 0) {
        return refuse(text,
                      QStringLiteral("a %1 takes %2 words, and %3-%4 holds %5")
                          .arg(typeText.toLower())
                          .arg(words)
                          .arg(first)
                          .arg(last)
                          .arg(span),
                      error);
    }
    if (span / words > static_cast<quint32>(kMaxShellRangeItems)) {
        return refuse(text,
                      QStringLiteral("%1 items; a range names at most %2")
                          .arg(span / words)
                          .arg(kMaxShellRangeItems),
                      error);
    }
    for (quint32 word = first; word <= last; word += words) {
        items->append({letters + QString::number(word) + suffix,
                       columnsOf(*form, QString::number(word), dataType)});
    }
    return true;
}

} // namespace

bool parseShellAssignment(const QString& text, QList<ShellItem>* items, QString* value,
                          QString* error)
{
    const int equals = text.indexOf(QLatin1Char('='));
    if (equals < 0) {
        *error = QStringLiteral("\"%1\" is not ITEM=VALUE").arg(text);
        return false;
    }
    *value = text.mid(equals + 1);
    return parseShellItem(text.left(equals), items, error);
}

bool parseModuleAddress(const QString& text, QString* host, quint16* port, QString* error)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    *host = colon < 0 ? text : text.left(colon);
    const quint16 defaultPort = *port;
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const QString portText = text.mid(colon + 1);
    bool ok = true;
    if (colon >= 0) {
        const uint number = portText.toUInt();
        ok = digits.match(portText).hasMatch() && number >= 1 && number <= 65535;
        *port = static_cast<quint16>(number);
    }
    if (!ok || host->isEmpty() || host->contains(QLatin1Char(':')) ||
        host->contains(QLatin1Char(' '))) {
        *error = QStringLiteral("\"%1\" is not HOST or HOST:PORT (a host name or IPv4 address, "
                                "and a port from 1 to 65535; %2 when left out)")
                     .arg(text)
                     .arg(defaultPort);
        return false;
    }
    return true;
}

} // namespace kib_host
