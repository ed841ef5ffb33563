// The driver's frame assembly, fed the way recvMessage feeds it: whatever a receive returned is
// appended to what is kept, and scanFrame says "frame", "need more" or "give up". However the
// stream is cut into pieces, it must give the same frames as the whole stream at once, keep no
// more than the receive limit plus one piece, and hand out only bracketed slices of the stream.
//
// Input: one byte N, then N piece sizes (1 to 256 bytes each, used in turn), then the stream.

#include "camp_wire.h"
#include "fuzz_support.h"

namespace {

using Scan = camp_wire::FrameScan;
using Status = camp_wire::FrameStatus;

struct Assembly
{
    QList<QByteArray> frames;
    QByteArray kept;
    bool gaveUp = false;
    int mostKept = 0;
};

// Takes every frame out of `kept`, as recvMessage does before it receives again.
void drain(Assembly& assembly)
{
    for (;;) {
        const Scan scan = camp_wire::scanFrame(assembly.kept);
        if (scan.status == Status::GiveUp) {
            assembly.gaveUp = true;
            return;
        }
        if (scan.status == Status::NeedMore) {
            assembly.kept = scan.rest;
            return;
        }
        FUZZ_CHECK(scan.frame.startsWith('[') && scan.frame.endsWith(']'));
        FUZZ_CHECK(scan.frame.indexOf(']') == scan.frame.size() - 1);
        assembly.frames.append(scan.frame);
        assembly.kept = scan.rest;
    }
}

Assembly assemble(const QByteArray& stream, const QList<int>& pieceSizes)
{
    Assembly assembly;
    int at = 0;
    for (int piece = 0; at < stream.size() && !assembly.gaveUp; ++piece) {
        const int size =
            pieceSizes.isEmpty() ? stream.size() : pieceSizes[piece % pieceSizes.size()];
        assembly.kept.append(stream.mid(at, size));
        at += size;
        assembly.mostKept = std::max(assembly.mostKept, static_cast<int>(assembly.kept.size()));
        drain(assembly);
    }
    return assembly;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    QList<int> pieceSizes;
    const int pieceCount = input.byte() % 16;
    for (int i = 0; i < pieceCount; ++i) {
        pieceSizes.append(1 + input.byte());
    }
    const QByteArray stream = input.rest();

    const Assembly whole = assemble(stream, {});
    const Assembly pieces = assemble(stream, pieceSizes);

    // Frames are slices of the stream, in order.
    int from = 0;
    for (const QByteArray& frame : pieces.frames) {
        const int found = stream.indexOf(frame, from);
        FUZZ_CHECK(found >= 0);
        from = found + frame.size();
    }
    // Receiving in pieces never keeps more than the receive limit and one piece.
    if (!pieceSizes.isEmpty()) {
        FUZZ_CHECK(pieces.mostKept <= camp_wire::kReceiveLimitBytes + 256);
    }

    if (whole.gaveUp) {
        FUZZ_CHECK(pieces.gaveUp);
    }
    if (!pieces.gaveUp) {
        FUZZ_CHECK(pieces.frames == whole.frames);
        FUZZ_CHECK(pieces.kept == whole.kept);
    } else {
        // Giving up early may lose frames, never invent them.
        FUZZ_CHECK(pieces.frames.size() <= whole.frames.size());
        for (int i = 0; i < pieces.frames.size(); ++i) {
            FUZZ_CHECK(pieces.frames[i] == whole.frames[i]);
        }
    }
    return 0;
}
