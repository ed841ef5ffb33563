#include "json_text.h"

#include <QPair>

namespace json_text {

namespace {

constexpr int kMaxDepth = 64;

// Where a value lies in the text, [begin, end), and where its members and elements lie.
struct Span
{
    int begin = 0;
    int end = 0;
    int lastKeyBegin = -1; // an object's last member, where its key starts
    QList<QPair<QByteArray, Span>> members;
    QList<Span> elements;

    const Span* member(const QByteArray& key) const
    {
        for (const auto& entry : members) {
            if (entry.first == key) {
                return &entry.second;
            }
        }
        return nullptr;
    }
};

class Scanner
{
public:
    explicit Scanner(const QByteArray& text) : text(text) {}

    bool document(Span* root)
    {
        skipBlanks();
        return value(root, 0) && text.at(root->begin) == '{';
    }

private:
    void skipBlanks()
    {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
            ++at;
        }
    }

    bool expect(char c)
    {
        skipBlanks();
        if (at >= text.size() || text[at] != c) {
            return false;
        }
        ++at;
        return true;
    }

    bool string(QByteArray* content)
    {
        const int start = ++at; // after the opening quote
        while (at < text.size() && text[at] != '"') {
            at += text[at] == '\\' ? 2 : 1;
        }
        if (at >= text.size()) {
            return false;
        }
        *content = text.mid(start, at - start);
        ++at;
        return true;
    }

    bool value(Span* span, int depth)
    {
        skipBlanks();
        if (at >= text.size() || depth > kMaxDepth) {
            return false;
        }
        span->begin = at;
        const char first = text[at];
        bool ok = true;
        if (first == '{') {
            ok = object(span, depth);
        } else if (first == '[') {
            ok = array(span, depth);
        } else if (first == '"') {
            QByteArray ignored;
            ok = string(&ignored);
        } else {
            // A number, true, false or null: up to the next delimiter.
            while (at < text.size() && !QByteArray(",]} \t\r\n").contains(text[at])) {
                ++at;
            }
            ok = at > span->begin;
        }
        span->end = at;
        return ok;
    }

    bool object(Span* span, int depth)
    {
        ++at;
        if (expect('}')) {
            return true;
        }
        do {
            skipBlanks();
            QByteArray key;
            const int keyBegin = at;
            if (at >= text.size() || text[at] != '"' || !string(&key) || !expect(':')) {
                return false;
            }
            Span member;
            if (!value(&member, depth + 1)) {
                return false;
            }
            span->members.append({key, member});
            span->lastKeyBegin = keyBegin;
        } while (expect(','));
        return expect('}');
    }

    bool array(Span* span, int depth)
    {
        ++at;
        if (expect(']')) {
            return true;
        }
        do {
            Span element;
            if (!value(&element, depth + 1)) {
                return false;
            }
            span->elements.append(element);
        } while (expect(','));
        return expect(']');
    }

    const QByteArray& text;
    int at = 0;
};

// Whether the value at `position` starts its own line, and the blanks before it there.
bool startsOwnLine(const QByteArray& text, int position, QByteArray* indent)
{
    int start = position;
    while (start > 0 && (text[start - 1] == ' ' || text[start - 1] == '\t')) {
        --start;
    }
    *indent = text.mid(start, position - start);
    return start == 0 || text[start - 1] == '\n';
}

// The texts joined after a value that starts at `begin`: each on a line of its own, indented
// alike, when that value has its own line.
QByteArray following(const QByteArray& text, int begin, const QList<QByteArray>& additions)
{
    QByteArray indent;
    const QByteArray separator =
        startsOwnLine(text, begin, &indent) ? ",\n" + indent : QByteArray(", ");
    QByteArray joined;
    for (const QByteArray& addition : additions) {
        joined += separator + addition;
    }
    return joined;
}

bool appendToArray(QByteArray& text, const Span& array, const QList<QByteArray>& additions)
{
    if (array.elements.isEmpty()) {
        QByteArray joined;
        for (const QByteArray& addition : additions) {
            joined += (joined.isEmpty() ? QByteArray() : QByteArray(", ")) + addition;
        }
        text.insert(array.begin + 1, joined);
        return true;
    }
    const Span& last = array.elements.last();
    text.insert(last.end, following(text, last.begin, additions));
    return true;
}

// Adds "key": [additions] as the object's last member.
bool appendMember(QByteArray& text, const Span& object, const QByteArray& key,
                  const QList<QByteArray>& additions)
{
    QByteArray member = '"' + key + "\": [";
    for (int i = 0; i < additions.size(); ++i) {
        member += (i > 0 ? ", " : "") + additions[i];
    }
    member += ']';
    if (object.members.isEmpty()) {
        text.insert(object.begin + 1, member);
        return true;
    }
    text.insert(object.members.last().second.end, following(text, object.lastKeyBegin, {member}));
    return true;
}

bool appendUnder(QByteArray& text, const Span& object, const QByteArray& key,
                 const QList<QByteArray>& additions)
{
    const Span* array = object.member(key);
    if (!array) {
        return appendMember(text, object, key, additions);
    }
    return text.at(array->begin) == '[' && appendToArray(text, *array, additions);
}

} // namespace

bool appendItems(QByteArray& document, int deviceIndex, const QList<QByteArray>& items)
{
    Span root;
    if (!Scanner(document).document(&root)) {
        return false;
    }
    const Span* devices = root.member("devices");
    if (!devices || deviceIndex < 0 || deviceIndex >= devices->elements.size()) {
        return false;
    }
    const Span& device = devices->elements[deviceIndex];
    QByteArray changed = document;
    if (document.at(device.begin) != '{' || !appendUnder(changed, device, "items", items)) {
        return false;
    }
    document = changed;
    return true;
}

bool appendDevice(QByteArray& document, const QByteArray& device)
{
    Span root;
    QByteArray changed = document;
    if (!Scanner(document).document(&root) || !appendUnder(changed, root, "devices", {device})) {
        return false;
    }
    document = changed;
    return true;
}

} // namespace json_text
