// Heap failures at every allocation a whole session of use reaches: three
// clients connect, log in, announce themselves with frames to all, then send
// addressed frames and frames to all, while the whole loop runs. A first run
// without faults counts the allocations; then, for every N up to that count,
// the scenario runs again with allocation N failing (once, or for good). It
// must never crash or leak, every receiver may only get its own frames whole
// and in order, and whatever is missing must be explained: a close in the
// log, a receiver marked broken, or an address that could not be recorded.
#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "switch/turn.h"
#include "switch/wait.h"
#include "tests/support/fake_platform.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_client.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string PROMPTS = "login:password:";

struct Frame {
    char from;
    std::string to; // "" for all
    std::string bytes;
};

// The heap as the scenario sees it: calls are counted here, and the chosen
// ones fail without reaching the fake heap.
struct HeapFaults {
    long calls = 0;
    long fail_from = 0;      // 0: none fails
    bool for_good = false;   // every call from fail_from on fails
    std::size_t failed_size = 0;
    bool failed_was_alloc = false;
    PlatformCalls fake;

    bool fails()
    {
        ++calls;
        return fail_from > 0 && (calls == fail_from || (for_good && calls > fail_from));
    }
};

HeapFaults* heap;

void* counted_alloc(std::size_t size)
{
    if (heap->fails()) {
        if (heap->calls == heap->fail_from) {
            heap->failed_size = size;
            heap->failed_was_alloc = true;
        }
        return nullptr;
    }
    return heap->fake.alloc(size);
}

void* counted_resize(void* block, std::size_t size)
{
    if (heap->fails()) {
        if (heap->calls == heap->fail_from)
            heap->failed_size = size;
        return nullptr;
    }
    return heap->fake.resize(block, size);
}

class Scenario {
public:
    Scenario(long fail_from, bool for_good)
    {
        dir.enter();
        faults.fail_from = fail_from;
        faults.for_good = for_good;
        faults.fake = platform;
        heap = &faults;
        platform.alloc = counted_alloc;
        platform.resize = counted_resize;
        add_listener(server, FakePlatform::LISTENER, ListenerKind::switch_clients, &plain_transport());
    server.poller = platform.open_poller();
        set_credentials(server, "alice", "secret");
    }

    ~Scenario()
    {
        drop_all_sessions(server);
        log_close(server.log);
        heap = nullptr;
        EXPECT_EQ(net.live_blocks, 0) << "blocks leaked with allocation " << faults.fail_from
                                      << " failing";
    }

    void run()
    {
        for (char name : {'a', 'b', 'c'})
            clients[name] = net.queue_connection();
        for (char name : {'a', 'b', 'c'})
            net.socket(clients[name]).incoming = "alice\r\nsecret\r\n";
        turns(12);
        for (char name : {'a', 'b', 'c'})
            send(name, "", "hello");
        turns(6);
        send('a', "b", "to b");
        send('b', "c", "to c, long " + std::string(3000, 'L'));
        send('c', "", "to all");
        send('a', "c", "to c, second");
        send('b', "", "to all, second");
        turns(40);
    }

    // The frames of one sender that a receiver should have, in sending order.
    std::vector<std::string> meant_from(char sender, char receiver) const
    {
        std::vector<std::string> frames;
        for (const Frame& f : sent)
            if (f.from == sender && sender != receiver && (f.to.empty() || f.to[0] == receiver))
                frames.push_back(f.bytes);
        return frames;
    }

    std::string got(char receiver) { return net.socket(clients[receiver]).sent; }
    bool still_connected(char receiver) { return !net.socket(clients[receiver]).closed; }
    std::string log()
    {
        log_flush(server.log, net.now);
        return dir.read(server.log.path);
    }
    long allocations() const { return faults.calls; }
    const HeapFaults& heap_faults() const { return faults; }

private:
    void turns(int count)
    {
        for (int i = 0; i < count; i++)
            serve_one_turn(server);
    }

    void send(char from, const std::string& to, const std::string& text)
    {
        Frame frame{from, to,
                    make_frame(std::string("x \"") + from + "\" \"" + to + "\" " + text + " ")};
        net.socket(clients[from]).incoming += frame.bytes;
        sent.push_back(frame);
    }

    ScratchDirectory dir;
    FakePlatform net;
    HeapFaults faults;
    Server server;
    std::map<char, socket_handle> clients;
    std::vector<Frame> sent;
};

// What a receiver got after its two prompts, cut into frames and sorted by
// sender: the relay keeps each sender's order, not an order across senders.
// *sound is false when a frame came cut short.
std::map<char, std::vector<std::string>> frames_by_sender(const std::string& got, bool* sound)
{
    std::map<char, std::vector<std::string>> frames;
    std::string frame;
    for (char c : got.substr(PROMPTS.size())) {
        frame.push_back(c);
        if (is_check_byte(c)) {
            frames[frame.size() > 3 ? frame[3] : '?'].push_back(frame);
            frame.clear();
        }
    }
    *sound = frame.empty();
    return frames;
}

bool in_order_subset(const std::vector<std::string>& got, const std::vector<std::string>& meant)
{
    std::size_t at = 0;
    for (const std::string& frame : got) {
        while (at < meant.size() && meant[at] != frame)
            at++;
        if (at == meant.size())
            return false;
        at++;
    }
    return true;
}

// Some of the frames meant for the receiver, each whole and each sender's in
// their order; *complete tells whether all of them came.
bool sound_delivery(Scenario& run, char receiver, bool* complete)
{
    const std::string all = run.got(receiver);
    *complete = false;
    if (!all.starts_with(PROMPTS))
        return PROMPTS.starts_with(all); // never logged in: no frame either
    bool sound = false;
    auto got = frames_by_sender(all, &sound);
    if (!sound)
        return false;
    *complete = true;
    for (char sender : {'a', 'b', 'c'}) {
        std::vector<std::string> meant = run.meant_from(sender, receiver);
        if (!in_order_subset(got[sender], meant))
            return false;
        if (got[sender] != meant)
            *complete = false;
        got.erase(sender);
    }
    return got.empty();
}

long count_fault_free_allocations()
{
    Scenario clean(0, false);
    clean.run();
    for (char name : {'a', 'b', 'c'}) {
        bool complete = false;
        EXPECT_TRUE(sound_delivery(clean, name, &complete)) << name;
        EXPECT_TRUE(complete) << name;
    }
    return clean.allocations();
}

void check_outcome(Scenario& run, long n)
{
    std::string log = run.log();
    bool someone_closed = log.find("logged out") != std::string::npos ||
                          log.find("disconnected") != std::string::npos;
    bool someone_broken = log.find("in send_to_all") != std::string::npos;
    // Sessions and addresses are the only records allocated whole.
    bool address_lost = run.heap_faults().failed_was_alloc &&
                        run.heap_faults().failed_size != sizeof(Session);
    for (char name : {'a', 'b', 'c'}) {
        bool complete = false;
        EXPECT_TRUE(sound_delivery(run, name, &complete)) << "allocation " << n << ", client " << name;
        if (complete || someone_closed || someone_broken)
            continue;
        // Only a lost address may cost frames, and only addressed ones.
        EXPECT_TRUE(address_lost) << "allocation " << n << ", client " << name
                                  << " lost frames without a trace";
        EXPECT_TRUE(run.still_connected(name)) << "allocation " << n << ", client " << name;
    }
}

TEST(AllocationSweep, EachSingleFailureEndsSoundlyWithoutLeaks)
{
    long total = count_fault_free_allocations();
    ASSERT_GT(total, 10) << "the scenario reaches every allocation site";
    for (long n = 1; n <= total; n++) {
        Scenario run(n, false);
        run.run();
        check_outcome(run, n);
    }
}

TEST(AllocationSweep, AHeapThatStaysExhaustedFromAnyPointOnIsSurvived)
{
    long total = count_fault_free_allocations();
    for (long n = 1; n <= total; n += 3) {
        Scenario run(n, true);
        run.run();
        for (char name : {'a', 'b', 'c'}) {
            bool complete = false;
            EXPECT_TRUE(sound_delivery(run, name, &complete)) << "allocation " << n << ", client " << name;
        }
    }
}

} // namespace
