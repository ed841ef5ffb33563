#include "recorded_module.h"

#include "camp_handler.h"

#include <cstdio>
#include <memory>

namespace camp_sim {

RecordedModule::RecordedModule(const QList<RecordedFrame>& frames)
{
    for (int i = 0; i < frames.size(); ++i) {
        const RecordedFrame& request = frames[i];
        if (!request.sent) {
            continue; // a reply, or a frame that answered nothing
        }
        SimulatedPlc::Response response;
        response.silent = true;
        for (int k = i + 1; k < frames.size(); ++k) {
            const RecordedFrame& next = frames[k];
            if (next.connection != request.connection) {
                continue;
            }
            if (!next.sent) {
                response.silent = false;
                response.reply = next.bytes;
                response.delay = std::chrono::microseconds(
                    std::max<qint64>(0, next.microseconds - request.microseconds));
            }
            break; // the next frame of the connection: its reply, or the next request
        }
        byRequest[request.bytes].inOrder.push_back(response);
    }
}

SimulatedPlc::Response RecordedModule::respond(const QByteArray& request)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = byRequest.find(request);
    if (found == byRequest.end()) {
        std::fprintf(stderr, "camp-sim: not in the recording: %s\n",
                     escapedFrame(request).constData());
        SimulatedPlc::Response unknown;
        unknown.reply = errorReply(request, ErrorCode::NotInRecording);
        return unknown;
    }
    Replies& replies = found.value();
    const SimulatedPlc::Response& response = replies.inOrder[replies.next];
    replies.next = std::min(replies.next + 1, replies.inOrder.size() - 1);
    return response;
}

bool attachReplay(const QString& path, SimulatedPlc& plc, QString* error)
{
    QList<RecordedFrame> frames;
    if (!readRecordingFile(path, &frames, error)) {
        return false;
    }
    auto module = std::make_shared<RecordedModule>(frames);
    plc.setResponder([module](const QByteArray& request) { return module->respond(request); });
    return true;
}

} // namespace camp_sim
