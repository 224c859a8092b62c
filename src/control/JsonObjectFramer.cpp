#include "JsonObjectFramer.h"

namespace {

bool isJsonWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Deeper nesting than any control message needs; refusing it keeps the depth counter bounded.
constexpr int maxDepth = 512;

} // namespace

JsonObjectFramer::State JsonObjectFramer::feed(const char* data, qsizetype size) {
    for (qsizetype i = 0; i < size && m_state == State::incomplete; ++i) {
        const char c = data[i];
        ++m_offset;
        if (!m_started) {
            if (isJsonWhitespace(c))
                continue;
            if (c != '{') {
                m_state = State::invalid;
                break;
            }
            m_started = true;
            m_depth = 1;
            continue;
        }
        if (m_inString) {
            if (m_escaped)
                m_escaped = false;
            else if (c == '\\')
                m_escaped = true;
            else if (c == '"')
                m_inString = false;
            continue;
        }
        switch (c) {
        case '"':
            m_inString = true;
            break;
        case '{':
        case '[':
            if (++m_depth > maxDepth)
                m_state = State::invalid;
            break;
        case '}':
        case ']':
            if (--m_depth == 0)
                m_state = State::complete;
            break;
        default:
            break;
        }
    }
    return m_state;
}
