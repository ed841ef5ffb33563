#include "request_assembler.h"

#include "camp_handler.h"

namespace camp_sim {

bool RequestAssembler::next(std::string& frame)
{
    while (m_scanned < m_buffer.size()) {
        const char c = m_buffer[m_scanned];
        switch (m_state) {
        case State::Outside:
            if (c == '[') {
                m_frameStart = m_scanned;
                m_state = State::InFrame;
            } else if (c == ']') {
                frame.assign(m_buffer, m_frameStart, m_scanned + 1 - m_frameStart);
                ++m_scanned;
                m_frameStart = m_scanned;
                compact();
                return true;
            } else if (m_scanned - m_frameStart >= kMaxRequestSize) {
                ++m_frameStart; // keep the stray text short
            }
            ++m_scanned;
            break;
        case State::InFrame:
            if (c == ']' || c == '[' || m_scanned - m_frameStart >= kMaxRequestSize) {
                const bool closes = (c == ']');
                const size_t end = closes ? m_scanned + 1 : m_scanned;
                frame.assign(m_buffer, m_frameStart, end - m_frameStart);
                m_frameStart = end;
                m_scanned = end;
                if (closes) {
                    m_state = State::Outside;
                } else if (c == '[') {
                    ++m_scanned; // this "[" starts the next frame
                } else {
                    m_state = State::SkippingOverlong;
                }
                compact();
                return true;
            }
            ++m_scanned;
            break;
        case State::SkippingOverlong:
            if (c == '[') {
                m_frameStart = m_scanned;
                m_state = State::InFrame;
            } else if (c == ']') {
                m_state = State::Outside;
                m_frameStart = m_scanned + 1;
            } else {
                m_frameStart = m_scanned + 1;
            }
            ++m_scanned;
            break;
        }
    }
    compact();
    return false;
}

// Drops the bytes that no frame needs any more, so the buffer stays small.
void RequestAssembler::compact()
{
    if (m_frameStart == 0) {
        return;
    }
    m_buffer.erase(0, m_frameStart);
    m_scanned -= m_frameStart;
    m_frameStart = 0;
}

} // namespace camp_sim
