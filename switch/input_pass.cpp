#include "switch/input_pass.h"

#include "protocol/fields.h"
#include "protocol/frame.h"
#include "protocol/login_line.h"
#include "switch/route.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

enum class Next { next_session, same_session };

// The length of the session's next step through its end (the dialogue
// line's line feed, the frame's check byte), or 0 when the end has not come
// yet. The search goes on where the last one stopped, so a partial line or
// frame costs nothing per turn however long it waits.
std::size_t step_length(Session& session)
{
    std::string_view waiting = queue_bytes(session.input.queue);
    std::size_t length = 0;
    if (session.state == SessionState::online) {
        length = frame_length(waiting, session.input.searched);
    } else {
        std::size_t line_feed = waiting.find('\n', session.input.searched);
        length = line_feed == std::string_view::npos ? 0 : line_feed + 1;
    }
    session.input.searched = static_cast<std::uint32_t>(length > 0 ? length - 1 : waiting.size());
    return length;
}

// What was searched stays searched: the count moves with the front.
void consume_input(Session& session, std::size_t count)
{
    auto taken = static_cast<std::uint32_t>(count);
    queue_consume(session.input.queue, taken);
    session.input.searched = session.input.searched > taken ? session.input.searched - taken : 0;
}

// Copies the line into a zero-terminated field.
void store_line(char* field, std::size_t size, std::string_view line)
{
    std::size_t n = std::min(line.size(), size - 1);
    std::memcpy(field, line.data(), n);
    field[n] = '\0';
}

// Takes the login line, if whole, and asks for the password; returns
// whether it took it. A prompt the socket refuses costs the session.
bool login_step(Server& server, Session& session)
{
    if (step_length(session) == 0)
        return false;
    LineCut line = cut_login_line(queue_bytes(session.input.queue), LOGIN_LINE_MAX, session.input.searched);
    store_line(session.dialogue.login_name, sizeof session.dialogue.login_name, line.text);
    // Kept as a C string, "sysop\0junk" would read as "sysop".
    session.dialogue.login_has_zero_byte = line.text.find('\0') != std::string_view::npos;
    consume_input(session, line.consumed);
    session.state = SessionState::awaiting_password;
    return send_prompt(server, session, "password:");
}

// Compares both lines with the command line's, or has the password checked
// against the users file off the loop. One attempt, no word to the client
// on refusal: the log says "login refused", then "logged out". Returns
// whether the session logged in.
bool password_step(Server& server, Session& session)
{
    if (step_length(session) == 0)
        return false;
    LineCut line = cut_login_line(queue_bytes(session.input.queue), FRAME_MAX, session.input.searched);
    // A dialogue that began before its source was shut out gets no guess
    // past the limit.
    if (shut_out(server, session.peer)) {
        consume_input(session, line.consumed);
        refuse_login(server, session);
        return false;
    }
    if (server.logins.users_given) {
        bool queued = queue_password_check(server, session, line.text);
        consume_input(session, line.consumed);
        if (!queued)
            refuse_login(server, session);
        return false;
    }
    // Compared whole, so a zero byte and junk after it never match.
    bool accepted = !session.dialogue.login_has_zero_byte && std::strcmp(session.dialogue.login_name, server.login) == 0 &&
                    line.text == std::string_view(server.password);
    consume_input(session, line.consumed);
    if (!accepted) {
        refuse_login(server, session);
        return false;
    }
    log_in(server, session);
    return true;
}

// Why a frame that is not valid is dropped; looked at only for such a frame.
FrameDrop invalid_frame_drop(std::string_view frame)
{
    std::string_view payload = frame.substr(0, frame.size() - 1);
    return payload.find('\0') != std::string_view::npos ? FrameDrop::zero_byte : FrameDrop::check_byte;
}

// The command, the sender's address and the destination.
constexpr int RELAY_FIELDS = 3;

// Names are a few bytes: this loop costs less than the call of memchr that
// it replaced, which was 5 % of a relay's time under a burst.
bool holds_zero_byte(std::string_view field)
{
    for (char c : field)
        if (c == '\0')
            return true;
    return false;
}

// Takes, splits and relays one frame of an online session. A frame with
// fewer than three fields is dropped and the session's turn goes on.
Next frame_step(Server& server, Session& session, std::int64_t now_s)
{
    std::size_t length = step_length(session);
    if (length == 0)
        return Next::next_session;
    std::string_view waiting = queue_bytes(session.input.queue);
    // An overlong frame goes whole, through its check byte: cut into pieces,
    // its tail would be read as a frame of its own and relayed whenever its
    // sum happened to fit. Its bytes count against the input limit until the
    // check byte comes, so a run without one still closes the session there.
    if (length > FRAME_MAX) {
        count_drop(server.metrics, FrameDrop::overlong);
        consume_input(session, length);
        return Next::next_session;
    }
    std::string_view frame = waiting.substr(0, length);
    if (!frame_is_valid(frame)) {
        count_drop(server.metrics, invalid_frame_drop(frame));
        consume_input(session, length);
        return Next::next_session;
    }
    // The splitter cuts its text in place; the frame itself is relayed
    // straight from the input queue, which nothing below changes.
    char text[FRAME_MAX + 1];
    std::memcpy(text, frame.data(), length);
    text[length] = '\0';
    // Only the first three fields decide: in a valid frame a later one can
    // never make the split fail (that takes a backslash just before the
    // end, where the check byte is), so the rest is not looked at.
    char* fields[RELAY_FIELDS + 1];
    std::size_t lengths[RELAY_FIELDS];
    Next next = Next::same_session;
    if (split_fields(fields, text, lengths, RELAY_FIELDS) == RELAY_FIELDS) {
        // An escaped zero byte would end the name early: "\000B" would read
        // as the empty destination, a frame to all. Such a name is nobody's.
        const std::string_view sender(fields[1], lengths[1]);
        const std::string_view destination(fields[2], lengths[2]);
        if (holds_zero_byte(sender) || holds_zero_byte(destination)) {
            count_drop(server.metrics, FrameDrop::zero_byte);
        } else if (!may_send_as(server, session, sender)) {
            count_drop(server.metrics, FrameDrop::refused_address);
        } else {
            server.metrics.frames_received++;
            announce_address(server.registry, session, sender, now_s);
            send_to_all(server, session, frame, destination);
            cluster_publish(server, frame, destination);
        }
        next = Next::next_session;
    } else {
        count_drop(server.metrics, FrameDrop::few_fields);
    }
    consume_input(session, length);
    return next;
}

} // namespace

bool has_whole_input(Session& session)
{
    switch (session.state) {
    case SessionState::awaiting_login:
    case SessionState::awaiting_password:
    case SessionState::online:
        return step_length(session) != 0;
    default:
        return false;
    }
}

namespace {

// Takes the session's step: a dialogue line, or one relayed frame after any
// number of frames too short to relay. Returns whether it took anything.
bool take_step(Server& server, Session& session, std::int64_t now_s)
{
    switch (session.state) {
    case SessionState::awaiting_login:
        return login_step(server, session);
    case SessionState::awaiting_password:
        return password_step(server, session);
    case SessionState::online: {
        std::uint32_t before = session.input.queue.length;
        while (frame_step(server, session, now_s) == Next::same_session) {
        }
        return session.input.queue.length < before;
    }
    default:
        return false;
    }
}

// The input list must be in order of acceptance; a round only takes
// sessions off it, so it stays so. Costs a look at each session on it.
bool input_round(Server& server, std::int64_t now_s)
{
    WorkList& listed = server.work.input;
    bool any_stepped = false;
    for (Session* s = listed.first; s;) {
        Session* next = next_on(listed, *s);
        const bool stepped = take_step(server, *s, now_s);
        if (stepped && !s->place.closing)
            any_stepped = true;
        else
            remove(listed, *s);
        s = next;
    }
    return any_stepped;
}

// Whole seconds of the monotonic clock, for the addresses announced: a
// step of the wall clock must not age every address at once. Read once a
// turn, not once a frame, which cost a busy relay 5 % of its time.
std::int64_t input_clock_s(Server& server)
{
    server.input_clock_s = platform.monotonic_ms() / 1000;
    return server.input_clock_s;
}

} // namespace

bool input_pass(Server& server)
{
    sort_by_acceptance(server.work.input);
    return input_round(server, input_clock_s(server));
}

// A sender of 10,000 bytes of the shortest frames costs 2,003 rounds in its
// turn, each a look at the sessions that took a step in the round before.
void input_rounds(Server& server)
{
    const std::int64_t now_s = input_clock_s(server);
    sort_by_acceptance(server.work.input);
    bool stepped = input_round(server, now_s);
    for (int round = 1;
         stepped && round < INPUT_ROUNDS_PER_TURN && rounds_may_go_on(server.schedule, OUTPUT_QUEUE_LIMIT);
         round++)
        stepped = input_round(server, now_s);
}
