#pragma once

#include <string>

namespace lumeno::server {

// The caption message sent to every event stream: compact JSON with "type", "text", "isFinal",
// "timestamp" (seconds since 1970) and "language". Line breaks in the text are escaped by the JSON
// writer, so the message never breaks the event framing; invalid UTF-8 is replaced, not thrown.
std::string makeTranscriptionMessage(const std::string& text, bool isFinal, double timestamp,
                                     const std::string& language);

// Seconds since 1970 with fraction.
double secondsSince1970();

}  // namespace lumeno::server
