#pragma once

// Finds the end of one JSON object in bytes that arrive in pieces. The control protocol has no
// framing: the client writes one object and waits, without a newline or a shutdown, so the
// receiver must see for itself where the object ends, braces and quotes inside strings included.

#include <QtGlobal>

class JsonObjectFramer {
public:
    enum class State {
        incomplete, // more bytes are needed
        complete,   // an object ended; endOffset() says where
        invalid,    // the bytes cannot start a JSON object
    };

    // Consumes bytes up to the end of the object; bytes after it are not looked at.
    State feed(const char* data, qsizetype size);
    State state() const { return m_state; }
    // Number of bytes, counted from the first byte ever fed, up to and including the final '}'.
    qsizetype endOffset() const { return m_offset; }

private:
    State m_state = State::incomplete;
    qsizetype m_offset = 0;
    int m_depth = 0;
    bool m_started = false;
    bool m_inString = false;
    bool m_escaped = false;
};
