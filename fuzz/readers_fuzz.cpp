// read_line and read_frame on one queue that is fed the input in pieces of
// random size, called in random order. A model of the stream says what each
// call must take; every byte must leave the queue exactly once, in order,
// and each result must agree with what was stored.
#include "fuzz/fuzz_support.h"
#include "net/session.h"
#include "relay/frame.h"
#include "relay/login.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr std::uint32_t LIMITS[] = {255, 256, 4095, 4096};

// Byte 0 of the input picks the limit: mostly small, so the cutting of long
// lines and frames is met often; sometimes the server's own limits.
std::uint32_t pick_limit(std::uint8_t selector)
{
    return selector < 200 ? selector % 40 + 1 : LIMITS[selector % 4];
}

bool high_bit(char c)
{
    return (static_cast<unsigned char>(c) & 0x80) != 0;
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
        if (frame[i] == '\0' || high_bit(frame[i]))
            return false;
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(frame[i]));
    }
    return !frame.empty() && static_cast<unsigned char>(frame.back()) == (sum | 0x80);
}

void check_line(std::string_view waiting, std::uint32_t limit, std::uint32_t result,
                std::size_t removed, const char* destination)
{
    std::size_t line_feed = waiting.find('\n');
    if (line_feed == std::string::npos) {
        fuzz_require(result == 0 && removed == 0, "read_line took a line without a line feed");
        return;
    }
    std::size_t n = std::min<std::size_t>(line_feed, limit);
    fuzz_require(removed == n + 1, "read_line removed the wrong number of bytes");
    if (n >= 1 && waiting[n - 1] == '\r')
        n--;
    fuzz_require(result == n + 1, "read_line result does not match the stored length");
    fuzz_require(std::memcmp(destination, waiting.data(), n) == 0,
                 "read_line took other bytes than the front of the stream");
    fuzz_require(destination[n] == '\0', "read_line did not terminate the text");
}

void check_frame(std::string_view waiting, std::uint32_t limit, std::uint32_t result,
                 std::size_t removed, const char* buffer)
{
    auto check = std::find_if(waiting.begin(), waiting.end(), high_bit);
    if (check == waiting.end()) {
        fuzz_require(result == 0 && removed == 0, "read_frame took bytes without a check byte");
        return;
    }
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(check - waiting.begin()) + 1, limit);
    fuzz_require(removed == n, "read_frame removed the wrong number of bytes");
    fuzz_require(std::memcmp(buffer, waiting.data(), n) == 0,
                 "read_frame took other bytes than the front of the stream");
    bool valid = valid_frame(waiting.substr(0, n));
    fuzz_require(valid == (result != 0), "read_frame accepted an invalid frame or refused a valid one");
    if (!valid)
        return;
    fuzz_require(result == n + 1, "read_frame result does not match the frame length");
    fuzz_require(buffer[n] == '\0', "read_frame did not terminate the frame");
    fuzz_require(frame_checksum_ok(buffer) == 1, "a returned frame fails its own check");
}

// One call of a reader chosen at random; returns the bytes it removed.
std::size_t read_once(ByteQueue* queue, Model* model, std::uint32_t limit, bool frame,
                      char* buffer)
{
    std::string_view waiting = model->waiting();
    std::uint32_t before = queue->length;
    std::uint32_t result = frame ? read_frame(queue, buffer, limit) : read_line(queue, buffer, limit);
    fuzz_require(queue->length <= before, "a reader grew the queue");
    std::size_t removed = before - queue->length;
    if (frame)
        check_frame(waiting, limit, result, removed, buffer);
    else
        check_line(waiting, limit, result, removed, buffer);
    model->taken += removed;
    fuzz_require(queue->length == model->fed - model->taken, "the queue lost or gained bytes");
    return removed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    std::uint32_t limit = pick_limit(data[0]);
    FuzzRandom random(data[1]);
    const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
    // Exactly limit + 1 bytes, so AddressSanitizer sees any write past them.
    auto buffer = std::make_unique<char[]>(limit + 1);
    ByteQueue queue{};
    Model model{stream};

    while (model.fed < stream.size()) {
        std::size_t piece = random.piece(stream.size() - model.fed);
        fuzz_require(queue_append(&queue, stream.data() + model.fed, static_cast<std::uint32_t>(piece)) == 1,
                     "append failed");
        model.fed += piece;
        while (read_once(&queue, &model, limit, random.next() & 1, buffer.get()) > 0) {
        }
    }
    // Drain: go on while either reader still takes something.
    for (int idle = 0; idle < 2;)
        idle = read_once(&queue, &model, limit, idle == 0, buffer.get()) > 0 ? 0 : idle + 1;
    fuzz_require(model.taken + queue.length == stream.size() &&
                     std::string_view(queue.block ? queue.block : "", queue.length) == model.waiting(),
                 "the queue does not hold the rest of the stream");
    platform.release(queue.block);
    return 0;
}
