#pragma once
// kib-host check: what a module does, measured with read requests only (it never writes), and
// the device columns that follow from it. The measurement speaks CAMP itself, through camp_wire,
// on connections of its own; the command (check_command.cpp) prints the report.

#include <QByteArray>
#include <QList>
#include <QString>

#include "camp_wire.h"
#include "module_address.h"

namespace kib_host {

constexpr int kRoundTripReads = 20; // one-word reads of V1 that the round trip is taken from
constexpr int kUnknownClass = 0x1F; // a class code no CTI 2500 controller has
constexpr quint32 kPastEndAddress = 0xFFFFFF; // the highest word address a request can carry

struct CheckLimits
{
    int timeoutMs = 2500; // for each connect and each reply
    int connections = 8;  // connections tried at once, the first one included
};

// One read request as the module answered it.
struct ReadAnswer
{
    enum class Kind { Words, ErrorReply, Unusable, NoReply, Closed, NotAsked };
    Kind kind = Kind::NotAsked;
    int requested = 0;
    camp_wire::Words words;      // Words
    camp_wire::ErrorCodes codes; // ErrorReply
    QByteArray countField;       // Words: the count field as sent ("00" for 256 words)
    QByteArray echoField;        // Words: positions 5-12
    bool echoes = false;         // Words: they hold the request's class and address
    QByteArray checkField;       // Words and ErrorReply: the block check as sent
    double roundTripMs = 0;      // Words and ErrorReply
    QString problem;             // the other kinds: what went wrong

    bool isAnswer() const { return kind == Kind::Words || kind == Kind::ErrorReply; }
    bool hasAllWords() const { return kind == Kind::Words && int(words.size()) == requested; }
};

// The form of the replies, gathered from every answer on every connection.
struct ReplyForm
{
    int readReplies = 0;
    int echoing = 0;
    QByteArray otherEcho; // what the first reply that did not echo held at positions 5-12
    int checkWidth = 0;   // digits of the widest check field seen
    bool upperCaseCheck = false;
    bool lowerCaseCheck = false;
    double worstRoundTripMs = 0;

    void note(const ReadAnswer& answer);
};

struct BlockRead
{
    int words = 0;
    ReadAnswer answer;
};

struct ModuleReport
{
    QString module;
    bool measured = false; // every measurement was made
    QString failure;       // why not

    ReadAnswer identity; // STW259 to STW261
    QString serial;      // empty when not reported
    QString firmware;
    ReplyForm form;
    QList<double> roundTripsMs;  // of the one-word reads, in the order made
    QList<BlockRead> blockReads; // 256 words, then halving until one is answered
    int largestRead = 0;         // words; 0 when no size was answered
    int connectionsTried = 0;
    int connectionsTaken = 0;
    QString connectionsEnd; // why the count stopped short of connectionsTried
    ReadAnswer unknownClass;
    ReadAnswer pastEnd;
};

// Connects, measures and closes every connection again.
ModuleReport checkModule(const Module& module, const CheckLimits& limits);

// A device column to set, and why.
struct Recommendation
{
    QString column;
    int value = 0;
    QString why;
};
QList<Recommendation> recommendations(const ModuleReport& report);

} // namespace kib_host
