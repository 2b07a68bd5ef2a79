// The owner's and the clients' message decoder on any bytes, as they come
// off a socket: split into lines in pieces of any size, each line decoded.
// A line that decodes is encoded again, and that must be one line that
// decodes to the same message, so that what a process accepts it can also
// pass on.

#include "share/ShareProtocol.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmora;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The first byte chooses the piece size the socket delivers.
    const std::size_t piece = size > 0 ? 1 + data[0] % 64 : 1;
    CLineSplitter splitter;
    std::string line;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        splitter.Feed(bytes.substr(at, piece));
        for (;;) {
            const CLineSplitter::Result result = splitter.Next(line);
            if (result == CLineSplitter::Result::TooLong) {
                return 0;
            }
            if (result == CLineSplitter::Result::NeedMore) {
                break;
            }
            if (line.size() >= kMaxLineLength) {
                std::abort();
            }
            std::string error;
            const auto message = DecodeMessage(line, error);
            if (!message) {
                if (error.empty()) {
                    std::abort();
                }
                continue;
            }
            const std::string encoded = EncodeMessage(*message);
            if (encoded.empty() || encoded.back() != '\n' ||
                encoded.find('\n') != encoded.size() - 1) {
                std::abort();
            }
            const auto again =
                DecodeMessage(std::string_view(encoded).substr(0, encoded.size() - 1), error);
            if (!again || EncodeMessage(*again) != encoded) {
                std::abort();
            }
        }
    }
    return 0;
}
