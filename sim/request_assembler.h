// Cuts the byte stream of one connection into request frames, a receive at a time.
#pragma once

#include <string>

namespace camp_sim {

// Bytes before a "[" are dropped. A frame ends at its "]". What cannot be a frame is still handed
// out whole, so that the PLC answers it with an error reply instead of ignoring it:
//   - a "[" before the "]" ends the frame so far (it lacks its "]"),
//   - more than kMaxRequestSize bytes without "]" end the frame so far (the rest of it, up to
//     and including the next "]", is dropped),
//   - a "]" outside a frame is handed out with the bytes before it (the frame lacks its "[").
class RequestAssembler
{
public:
    void append(const char* data, size_t size) { m_buffer.append(data, size); }

    // The next request in `frame` and true, or false when more bytes are needed.
    bool next(std::string& frame);

    size_t pendingBytes() const { return m_buffer.size() - m_scanned; }

private:
    void compact();

    enum class State { Outside, InFrame, SkippingOverlong };
    State m_state = State::Outside;
    std::string m_buffer;    // bytes received and not handed out yet
    size_t m_scanned = 0;    // bytes of m_buffer already looked at
    size_t m_frameStart = 0; // where the current frame (or stray text) starts in m_buffer
};

} // namespace camp_sim
