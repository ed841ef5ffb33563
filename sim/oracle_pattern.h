// Memory that tells where each of its words lives and when it was read: every word of the pattern
// holds a mark of its class and address in its high byte and the current generation in its low
// byte. The generation counts steps of kPatternStepMs of the machine's monotonic clock, which
// every process of the machine shares, so a reader that notes the clock before and after a poll
// knows which generations the PLC went through meanwhile. A value read from another address, or
// left over from an earlier request, does not pass for the right one.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <chrono>

namespace camp_sim {

class PlcMemory;

constexpr int kPatternStepMs = 20;

// The generation at a time of the monotonic clock (std::chrono::steady_clock): 0 to 255, then
// round again.
quint8 patternGeneration(std::chrono::steady_clock::time_point time);
// The number of whole steps since the clock's start, before the wrap to eight bits.
qint64 patternStep(std::chrono::steady_clock::time_point time);

// The high byte of each pattern word: a hash of class and address, so that neighbours and words
// far apart differ alike.
quint8 patternMark(int addressClass, quint32 address);
quint16 patternWord(int addressClass, quint32 address, quint8 generation);

// True when the word is the pattern word of this address in a generation of the steps from
// `first` to `last` (patternStep values); any generation passes once they span a whole round.
bool isPatternWordWithin(quint16 word, int addressClass, quint32 address, qint64 first,
                         qint64 last);

struct WordRange
{
    int addressClass = 0;
    quint32 first = 0;
    quint32 last = 0;
};

// "V1-1999,K1-999,WX17": class label, first and last address (one address alone is a range of
// one). False with a reason when the text is not such a list.
bool parseWordRanges(const QString& text, QList<WordRange>* ranges, QString* error);

// The program of a camp-sim PLC run with --oracle-pattern: brings the pattern words up to the
// current generation whenever a request is about to be served.
class OraclePattern
{
public:
    explicit OraclePattern(QList<WordRange> ranges) : m_ranges(std::move(ranges)) {}
    void apply(PlcMemory& memory, quint8 generation);
    void applyNow(PlcMemory& memory);

private:
    QList<WordRange> m_ranges;
    int m_generation = -1; // the generation memory holds; none yet
};

} // namespace camp_sim
