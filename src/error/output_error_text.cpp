#include "error/output_error_text.hpp"

#include <string>

#include "error/message_lookup.hpp"

namespace brisvane {

SinkResult OutputErrorText::display(TextSink& sink) const {
    switch (error_.kind) {
        case OutputError::Kind::Os:
            return sink.write(os_error_message(error_.os_code) + " (os error " + std::to_string(error_.os_code) + ")");
        case OutputError::Kind::WriteZero:
            return sink.write("failed to write whole buffer");
        case OutputError::Kind::NonUtf8OnConsole:
            return sink.write("Windows stdio in console mode does not support writing non-UTF-8 byte sequences");
    }
    return {};
}

}  // namespace brisvane
