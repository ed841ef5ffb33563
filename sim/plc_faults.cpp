#include "plc_faults.h"

#include <algorithm>

namespace camp_sim {

std::shared_ptr<const FaultSet> makeFaultSet(const Faults& faults)
{
    auto set = std::make_shared<FaultSet>();
    set->faults = faults;
    set->replyFaults.shortReplyWords = faults.shortReplyWords;
    set->replyFaults.errorAddresses = faults.errorAddresses;
    set->replyFaults.duplicateReadReply = faults.duplicateReadReply;
    set->replyFaults.readReplyAddressOffset = faults.readReplyAddressOffset;
    set->replyFaults.readReplyToWrite = faults.readReplyToWrite;
    set->replyFaults.nonHexInReplyWords = faults.nonHexInReplyWords;
    set->replyFaults.noEcho = faults.noEcho;
    set->replyFaults.foreignWriteReply = faults.foreignWriteReply;
    set->replyFaults.maxReadWords = static_cast<quint32>(std::max(0, faults.maxReadWords));
    return set;
}

ConnectionHandler::Admission admission(const Faults& faults, int maxConnections,
                                       int openConnections)
{
    using Admission = ConnectionHandler::Admission;
    if (faults.acceptAndClose) {
        return Admission::CloseAtOnce;
    }
    const int limit = faults.connectionLimit > 0 ? std::min(faults.connectionLimit, maxConnections)
                                                 : maxConnections;
    return openConnections >= limit ? Admission::Refuse : Admission::Serve;
}

bool leavesUnanswered(const Faults& faults, int othersAtAccept)
{
    return faults.silent || (faults.silentBeyond > 0 && othersAtAccept >= faults.silentBeyond);
}

void streamEndlessly(const Link& link)
{
    if (!link.sendAll("[0500", 5)) {
        return;
    }
    const std::string zeros(4096, '0');
    while (link.sendAll(zeros)) {
    }
}

namespace {

bool sendInPieces(const Link& link, const std::string& data, const Faults& faults)
{
    if (faults.chunkBytes <= 0) {
        return link.sendAll(data);
    }
    const size_t piece = static_cast<size_t>(faults.chunkBytes);
    for (size_t offset = 0; offset < data.size(); offset += piece) {
        if (offset > 0 && !link.pause(faults.chunkPauseMs)) {
            return false;
        }
        if (!link.sendAll(data.data() + offset, std::min(piece, data.size() - offset))) {
            return false;
        }
    }
    return true;
}

} // namespace

bool sendReply(Link& link, const Faults& faults, Clock::time_point replyAt)
{
    std::string& outgoing = link.outgoing;
    outgoing.assign(faults.junkBeforeReply.constData(),
                    static_cast<size_t>(faults.junkBeforeReply.size()));
    if (faults.closeMidReply) {
        outgoing.append(link.reply, 0, link.reply.size() / 2);
        if (link.pauseUntil(replyAt)) {
            link.sendAll(outgoing);
        }
        return false;
    }
    outgoing.append(link.reply);
    if (!link.pauseUntil(replyAt) || !sendInPieces(link, outgoing, faults)) {
        return false;
    }
    ++link.answered;
    return faults.closeAfterRequests <= 0 || link.answered < faults.closeAfterRequests;
}

bool answerAsTextService(const Link& link, const Faults& faults)
{
    const QByteArray& text = faults.textServiceReply;
    if (link.pause(faults.latencyMs)) {
        link.sendAll(text.constData(), static_cast<size_t>(text.size()));
    }
    return false;
}

} // namespace camp_sim
