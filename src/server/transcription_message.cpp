#include "server/transcription_message.h"

#include <chrono>
#include <nlohmann/json.hpp>

namespace lumeno::server {

std::string makeTranscriptionMessage(const std::string& text, bool isFinal, double timestamp,
                                     const std::string& language) {
    const nlohmann::json message = {
        {"type", "transcription"}, {"text", text}, {"isFinal", isFinal}, {"timestamp", timestamp}, {"language", language},
    };
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace lumeno::server
