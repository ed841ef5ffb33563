#include "block_reader.h"

#include <algorithm>
#include <deque>
#include <set>

#include "block_values.h"
#include "device_health.h"
#include "diagnostic_lines.h"

const char kEveryReplyRefused[] =
    "Every reply from the PLC was refused: it answers, but with nothing that can be used";

namespace {

using Result = CAMP_NITP::Result;

const char kRefusedExtra[] = "the module refused a further connection";
const char kSilentExtra[] =
    "a further connection gave no reply within the time-out while the first answered";

// One connection of the poll.
struct Lane
{
    CAMP_NITP* driver;
    bool extra; // false for the session's first connection
    bool alive = true;
    bool busy = false; // a request is outstanding on it
};

class BlockReader
{
public:
    BlockReader(CampSession& session, LogList* log, const std::vector<ReadSpan>& spans,
                const std::vector<ReadBlock>& blocks, Isolation& isolation)
        : session(session), log(log), spans(spans), blocks(blocks), isolation(isolation),
          finished(blocks.size())
    {
    }

    bool run()
    {
        openLanes();
        if (!dispatch()) {
            return failPoll();
        }
        while (!inFlight.empty()) {
            const auto [lane, block] = inFlight.front();
            inFlight.pop_front();
            Lane& at = lanes[lane];
            at.busy = false;
            Words words;
            const ReadBlock& read = blocks[block];
            const Result received = at.driver->receiveRead(read.addressClass, read.startAddress,
                                                           read.wordCount, words, headItem(read));
            firstAnswered = firstAnswered || (lane == 0 && received != Result::ConnectionLost);
            if (received == Result::ConnectionLost) {
                if (!fallBack(lane, block) || !dispatch()) {
                    return failPoll();
                }
                continue;
            }
            // The next requests go out before this block's words are converted, so that the
            // conversion runs while the PLC answers. Words that arrived are stored even when
            // the next request finds the connection broken.
            const bool goOn = dispatch();
            finish(block, received, words);
            if (received == Result::ItemFailed && read.lastSpan - read.firstSpan > 1) {
                refusedByThePlc.push_back(block);
            }
            if (!goOn) {
                return failPoll();
            }
        }
        // A further connection that stayed silent while the first one answered is one the module
        // took but does not serve (its table is full of half-served clients): kept, it would cost
        // a time-out every poll. A module slow on every connection times out on the first one
        // too, and keeps its connections.
        if (silentExtras > 0 && firstAnswered) {
            limitTo(aliveLanes(), kSilentExtra);
        }
        for (const size_t block : refusedByThePlc) {
            if (!readApart(blocks[block])) {
                return false;
            }
        }
        if (!blocks.empty() && refused == blocks.size()) {
            log->errorText = QLatin1String(kEveryReplyRefused);
            return false;
        }
        return true;
    }

private:
    ItemInstancePlugin* headItem(const ReadBlock& block) const
    {
        return &spans[block.firstSpan].dataItem->item;
    }

    // The first connection is open already; further ones are opened as the blocks need them.
    void openLanes()
    {
        lanes.push_back({&session.driver, false});
        const int wanted =
            std::min(session.connectionBudget.allowed(pollConnections(*log), monotonicMs()),
                     static_cast<int>(blocks.size()));
        for (int i = 1; i < wanted; ++i) {
            if (session.extraConnections.size() < static_cast<size_t>(i)) {
                session.extraConnections.push_back(std::make_unique<CAMP_NITP>());
                session.extraConnections.back()->countInto(&session.counters);
            }
            CAMP_NITP& extra = *session.extraConnections[static_cast<size_t>(i - 1)];
            DeviceInstancePlugin target =
                *log; // its failure is this connection's, not the device's
            if (!extra.connectToPLC(&target)) {
                limitTo(i, kRefusedExtra);
                break;
            }
            lanes.push_back({&extra, true});
        }
    }

    // Hands the next blocks to every free connection.
    bool dispatch()
    {
        for (size_t lane = 0; lane < lanes.size(); ++lane) {
            while (lanes[lane].alive && !lanes[lane].busy &&
                   (!retry.empty() || next < blocks.size())) {
                const size_t block = takeBlock();
                const ReadBlock& read = blocks[block];
                const Result sent = lanes[lane].driver->sendRead(
                    read.addressClass, read.startAddress, read.wordCount, headItem(read));
                if (sent == Result::Done) {
                    lanes[lane].busy = true;
                    inFlight.emplace_back(lane, block);
                } else if (sent == Result::ConnectionLost) {
                    // The block now waits for another connection, from the first one on.
                    return fallBack(lane, block) && dispatch();
                } else {
                    finish(block, sent, {}); // no frame can ask for it
                }
            }
        }
        return true;
    }

    size_t takeBlock()
    {
        if (retry.empty()) {
            return next++;
        }
        const size_t block = *retry.begin();
        retry.erase(retry.begin());
        return block;
    }

    // A further connection that the module closed or reset before it ever answered was refused:
    // the session uses fewer from now on. One whose reply timed out is only given up for this
    // poll. Either way its block goes back to be handed out first. Any other broken connection
    // fails the poll, as with one connection.
    bool fallBack(size_t lane, size_t block)
    {
        Lane& at = lanes[lane];
        const bool timedOut = at.driver->lostByTimeout();
        if (!at.extra || (at.driver->lostAfterAnswering() && !timedOut)) {
            log->errorText = at.driver->sessionError();
            for (const Lane& other : lanes) {
                if (other.busy) {
                    other.driver->disconnectFromPLC(); // its reply would answer no request
                }
            }
            return false;
        }
        at.driver->disconnectFromPLC();
        at.alive = false;
        at.busy = false;
        retry.insert(block);
        if (timedOut) {
            ++silentExtras;
        } else {
            limitTo(aliveLanes(), kRefusedExtra);
        }
        return true;
    }

    int aliveLanes() const
    {
        return static_cast<int>(
            std::count_if(lanes.begin(), lanes.end(), [](const Lane& l) { return l.alive; }));
    }

    // The module would not serve another connection: the session uses no more for a while.
    void limitTo(int connections, const char* why)
    {
        session.connectionBudget.lowerTo(connections, monotonicMs());
        printDiagnostic("CAMP_NITP: %s; polling over %d (%s)\n", why,
                        session.connectionBudget.current(),
                        session.driver.targetText().constData());
    }

    // Stores a block's values, or gives its error to every one of its items.
    void finish(size_t block, Result result, const Words& words)
    {
        finished[block] = true;
        const ReadBlock& read = blocks[block];
        if (result == Result::Done) {
            storeBlockValues(spans, read.firstSpan, read.lastSpan, read.startAddress, words);
            if (spans[read.firstSpan].alone) {
                isolation.answered.push_back(spans[read.firstSpan].itemIndex);
            }
            return;
        }
        if (result == Result::Refused) {
            ++refused;
        }
        QString error = headItem(read)->errorText;
        if (error.isEmpty()) {
            error = QStringLiteral("Error reading response");
        }
        setErrorOfSpans(read, error);
    }

    // The PLC refused a merged block: each of its items is read alone, on the first connection.
    // The items it refuses again are the culprits; the others get their values after all.
    bool readApart(const ReadBlock& block)
    {
        for (size_t k = block.firstSpan; k < block.lastSpan; ++k) {
            const ReadSpan& span = spans[k];
            ItemInstancePlugin& item = span.dataItem->item;
            Words words;
            item.errorText.clear();
            const Result result = session.driver.read(span.addressClass, span.startAddress,
                                                      span.wordCount, words, &item);
            if (result == Result::ConnectionLost) {
                log->errorText = session.driver.sessionError();
                for (size_t rest = k; rest < block.lastSpan; ++rest) {
                    spans[rest].dataItem->item.errorText = log->errorText;
                }
                return false;
            }
            if (result == Result::Done) {
                storeBlockValues(spans, k, k + 1, span.startAddress, words);
            } else if (result == Result::ItemFailed) {
                isolation.refused.push_back(span.itemIndex);
            }
        }
        return true;
    }

    // Every item the failed poll did not read gets the device's error.
    bool failPoll()
    {
        for (size_t block = 0; block < blocks.size(); ++block) {
            if (!finished[block]) {
                setErrorOfSpans(blocks[block], log->errorText);
            }
        }
        return false;
    }

    void setErrorOfSpans(const ReadBlock& block, const QString& error)
    {
        for (size_t k = block.firstSpan; k < block.lastSpan; ++k) {
            spans[k].dataItem->item.errorText = error;
        }
    }

    CampSession& session;
    LogList* const log;
    const std::vector<ReadSpan>& spans;
    const std::vector<ReadBlock>& blocks;
    Isolation& isolation;
    std::vector<size_t> refusedByThePlc; // merged blocks the PLC answered with an error reply
    std::vector<Lane> lanes;
    std::deque<std::pair<size_t, size_t>> inFlight; // (lane, block), in the order sent
    std::set<size_t> retry; // blocks of given-up connections, handed out first, in order
    size_t next = 0;        // the next block in the planner's order
    std::vector<bool> finished;
    size_t refused = 0;         // blocks whose reply was refused
    int silentExtras = 0;       // further connections given up for a time-out
    bool firstAnswered = false; // the first connection had a reply in this poll
};

} // namespace

bool readBlocks(CampSession& session, LogList* log, const std::vector<ReadSpan>& spans,
                const std::vector<ReadBlock>& blocks, Isolation& isolation)
{
    return BlockReader(session, log, spans, blocks, isolation).run();
}
