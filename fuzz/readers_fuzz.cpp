// The login-line and frame readers over one byte queue that is fed the input
// in pieces of random size and read in random order, as the input pass
// does. A model of the stream says what each read must take; every byte must
// leave the queue exactly once, in order, and the queue must always hold
// exactly the rest of the stream.
#include "common/byte_queue.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "protocol/frame.h"
#include "protocol/login_line.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t LIMITS[] = {255, 256, 4095, 4096};

// Byte 0 of the input picks the limit: mostly small, so the cutting of long
// lines and frames is met often; sometimes the server's own limits.
std::size_t pick_limit(std::uint8_t selector)
{
    return selector < 200 ? selector % 40 + 1 : LIMITS[selector % 4];
}

// What the queue must hold: the stream from `taken` to `fed`.
struct Model {
    const std::string& stream;
    std::size_t taken = 0;
    std::size_t fed = 0;

    std::string_view waiting() const { return std::string_view(stream).substr(taken, fed - taken); }
};

bool valid_frame(std::string_view frame)
{
    unsigned char sum = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); i++) {
        if (frame[i] == '\0' || is_check_byte(frame[i]))
            return false;
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(frame[i]));
    }
    return !frame.empty() && static_cast<unsigned char>(frame.back()) == (sum | 0x80);
}

std::size_t read_line(std::string_view waiting, std::size_t limit)
{
    LineCut line = cut_login_line(waiting, limit);
    std::size_t line_feed = waiting.find('\n');
    if (line_feed == std::string::npos) {
        fuzz_require(line.consumed == 0, "a line was taken without a line feed");
        return 0;
    }
    std::size_t n = std::min(line_feed, limit);
    fuzz_require(line.consumed == n + 1, "a line took the wrong number of bytes");
    if (n >= 1 && waiting[n - 1] == '\r')
        n--;
    fuzz_require(line.text == waiting.substr(0, n), "a line is not the front of the stream");
    return line.consumed;
}

std::size_t read_frame(std::string_view waiting, std::size_t limit)
{
    auto check = std::find_if(waiting.begin(), waiting.end(), is_check_byte);
    std::size_t length = frame_length(waiting);
    if (check == waiting.end()) {
        fuzz_require(length == 0, "a frame was found without a check byte");
        return 0;
    }
    fuzz_require(length == static_cast<std::size_t>(check - waiting.begin()) + 1,
                 "a frame does not end at its check byte");
    std::size_t n = std::min(length, limit);
    fuzz_require(frame_is_valid(waiting.substr(0, n)) == valid_frame(waiting.substr(0, n)),
                 "a frame was accepted that is invalid, or refused that is valid");
    return n;
}

// One read chosen at random; returns the bytes it took off the queue.
std::size_t read_once(ByteQueue& queue, Model& model, std::size_t limit, bool frame)
{
    fuzz_require(queue_bytes(queue) == model.waiting(), "the queue lost, gained or changed bytes");
    std::string_view waiting = queue_bytes(queue);
    std::size_t taken = frame ? read_frame(waiting, limit) : read_line(waiting, limit);
    queue_consume(queue, static_cast<std::uint32_t>(taken));
    model.taken += taken;
    return taken;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    std::size_t limit = pick_limit(data[0]);
    FuzzRandom random(data[1]);
    const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
    ByteQueue queue{};
    Model model{stream};

    while (model.fed < stream.size()) {
        std::size_t piece = random.piece(stream.size() - model.fed);
        fuzz_require(queue_append(queue, std::string_view(stream).substr(model.fed, piece)),
                     "append failed");
        model.fed += piece;
        while (read_once(queue, model, limit, random.next() & 1) > 0) {
        }
    }
    // Drain: go on while either reader still takes something.
    for (int idle = 0; idle < 2;)
        idle = read_once(queue, model, limit, idle == 0) > 0 ? 0 : idle + 1;
    fuzz_require(queue_bytes(queue) == model.waiting(), "the queue does not hold the rest of the stream");
    queue_free(queue);
    return 0;
}
