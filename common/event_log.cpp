#include "common/event_log.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// "hh:mm:ss dd/mm/yyyy" of t in local time; text holds at least 64 bytes.
std::string_view time_text(std::time_t t, char (&text)[64])
{
    std::tm parts{};
    local_time(t, &parts);
    int length = std::snprintf(text, sizeof text, "%02d:%02d:%02d %02d/%02d/%04d", parts.tm_hour,
                               parts.tm_min, parts.tm_sec, parts.tm_mday, parts.tm_mon + 1,
                               parts.tm_year + 1900);
    return {text, static_cast<std::size_t>(std::clamp(length, 0, 63))};
}

// Rebuilt only when the second changes: a busy turn logs many lines in one.
void refresh_stamp(EventLog& log, std::time_t now)
{
    if (now == log.stamp_second && !log.stamp.empty())
        return;
    char text[64];
    log.stamp.assign(time_text(now, text));
    log.stamp += ' ';
    log.stamp_second = now;
}

// Counts the line ends in bytes: O(n) in the turn's bytes, paid only in the
// turns that the file or the console misses.
std::size_t line_count(std::string_view bytes)
{
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
}

void count_missed(std::size_t& count, std::time_t& since, std::size_t lines, std::time_t now)
{
    if (lines == 0)
        return;
    if (count == 0)
        since = now;
    count += lines;
}

void skip_console_lines(EventLog& log, std::size_t lines, std::time_t now)
{
    count_missed(log.console_skipped, log.console_skipped_since, lines, now);
    log.console_skipped_total += lines;
}

// "<stamp> srv: N <whose> line(s) <what> since <time>\n", built without the
// heap, which may be what failed.
std::string_view missed_line(std::time_t now, std::size_t count, const char* whose, const char* what,
                             std::time_t since, char (&text)[192])
{
    char at[64];
    char from[64];
    const std::string_view at_text = time_text(now, at);
    const std::string_view from_text = time_text(since, from);
    int length = std::snprintf(text, sizeof text, "%.*s srv: %zu %s %s %s since %.*s\n",
                               static_cast<int>(at_text.size()), at_text.data(), count, whose,
                               count == 1 ? "line" : "lines", what, static_cast<int>(from_text.size()),
                               from_text.data());
    return {text, static_cast<std::size_t>(std::clamp(length, 0, 191))};
}

// A line that could not be added (no memory for it) is lost to both the
// file and the console, and counted as such; the lines before it stay.
void lose_line(EventLog& log, std::size_t lines_before, std::time_t now)
{
    log.lines.resize(lines_before);
    count_missed(log.file_lost, log.file_lost_since, 1, now);
    if (log.echo_to_stdout)
        skip_console_lines(log, 1, now);
}

void begin_line(EventLog& log, std::time_t now, std::string_view event)
{
    refresh_stamp(log, now);
    log.lines_total++;
    log.lines += log.stamp;
    log.lines += event;
    log.lines += ": ";
}

bool is_line_break(char c)
{
    return c == '\n' || c == '\r';
}

// Zero, the C0 controls a terminal acts on, and DEL; TAB and the line
// breaks are text.
bool is_control(unsigned char c)
{
    return (c < 0x20 && c != '\t' && !is_line_break(static_cast<char>(c))) || c == 0x7f;
}

bool is_plain(char c)
{
    return !is_line_break(c) && !is_control(static_cast<unsigned char>(c));
}

// Where the run of plain bytes from `from` ends, at most at `stop`. Every
// received byte is logged, so 32 are tested at once for a byte below 0x20
// or a DEL, in a loop without a branch that the compiler turns into vector
// compares; only a chunk holding one, a TAB included, is looked at byte by
// byte.
std::size_t plain_run_end(std::string_view block, std::size_t from, std::size_t stop)
{
    constexpr std::size_t CHUNK = 32;
    std::size_t at = from;
    for (; at + CHUNK <= stop; at += CHUNK) {
        unsigned char stops = 0;
        for (std::size_t k = 0; k < CHUNK; k++) {
            const auto c = static_cast<unsigned char>(block[at + k]);
            stops |= static_cast<unsigned char>((c < 0x20) | (c == 0x7f));
        }
        if (stops != 0)
            break;
    }
    while (at < stop && is_plain(block[at]))
        at++;
    return at;
}

std::string_view hex_escaped(unsigned char byte, char (&text)[4])
{
    constexpr char digits[] = "0123456789abcdef";
    text[0] = '\\';
    text[1] = 'x';
    text[2] = digits[byte >> 4];
    text[3] = digits[byte & 0x0f];
    return {text, 4};
}

std::string_view escaped(char c, char (&text)[4])
{
    const auto byte = static_cast<unsigned char>(c);
    if (is_control(byte))
        return hex_escaped(byte, text);
    text[0] = c;
    return {text, 1};
}

} // namespace

std::string log_safe_text(std::string_view text)
{
    std::string safe;
    char code[4];
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        safe += byte < 0x20 || byte == 0x7f ? hex_escaped(byte, code) : std::string_view(&c, 1);
    }
    return safe;
}

namespace {

// Appends a piece of a received block; when the text so far ends in a line
// break (other than the CR of a CRLF meeting its LF), the mark comes first.
// A break at the very end gets none: the writer's own LF follows it.
void append_piece(std::string& lines, char& last, std::string_view piece)
{
    const bool completes_crlf = last == '\r' && piece == "\n";
    if (is_line_break(last) && !completes_crlf)
        lines += LOG_CONTINUATION_MARK;
    lines += piece;
    last = piece.back();
}

// Why the server will not write to what the path names.
const char* refusal_text(LogOpenStatus status)
{
    switch (status) {
    case LogOpenStatus::not_a_regular_file: return "not a regular file";
    case LogOpenStatus::symbolic_link: return "a symbolic link, not followed";
    case LogOpenStatus::several_links: return "a file with more than one link";
    case LogOpenStatus::other_owner: return "a file owned by another user";
    case LogOpenStatus::opened:
    case LogOpenStatus::failed: break;
    }
    return "";
}

void say_file_trouble(EventLog& log, const std::string& reason)
{
    if (log.file_trouble_said)
        return;
    log.file_trouble_said = true;
    std::fprintf(stderr, "%s: %s; %s\n", log.path.c_str(), reason.c_str(),
                 log.echo_to_stdout ? "events go to stdout only" : "events are not logged");
}

void drop_file(EventLog& log)
{
    if (log.file == NO_LOG_FILE)
        return;
    log_file_close(log.file);
    log.file = NO_LOG_FILE;
}

// Operators rotate the log by renaming or removing it; like the writer that
// opened the file per event, the next lines then go to a new file at the path.
void keep_file_at_path(EventLog& log, std::time_t now)
{
    if (now == log.file_checked_at)
        return;
    log.file_checked_at = now;
    if (log.file != NO_LOG_FILE && log_file_is_at(log.file, log.path.c_str()))
        return;
    drop_file(log);
    const LogOpenResult opened = log_file_open(log.path.c_str());
    if (opened.status == LogOpenStatus::opened)
        log.file = opened.file;
    else if (opened.status == LogOpenStatus::failed)
        say_file_trouble(log, log_file_error_text());
    else
        say_file_trouble(log, refusal_text(opened.status));
}

// Writes to the open file; when it fails, the trouble is said once and the
// file let go, to be tried again a second later.
bool file_takes(EventLog& log, std::string_view bytes, std::size_t& kept)
{
    kept = 0;
    if (log.write_file(log.file, bytes, &kept)) {
        log.file_trouble_said = false;
        return true;
    }
    say_file_trouble(log, log_file_error_text());
    drop_file(log);
    return false;
}

// Goes before the first lines the file takes after a gap, so the gap reads
// where it was.
void write_lost_note(EventLog& log, std::time_t now)
{
    char text[192];
    std::size_t kept = 0;
    if (file_takes(log, missed_line(now, log.file_lost, "log", "lost", log.file_lost_since, text), kept))
        log.file_lost = 0;
}

void write_file(EventLog& log, std::time_t now)
{
    keep_file_at_path(log, now);
    if (log.file != NO_LOG_FILE && log.file_lost > 0)
        write_lost_note(log, now);
    std::size_t kept = 0;
    if (log.file == NO_LOG_FILE || !file_takes(log, log.lines, kept))
        count_missed(log.file_lost, log.file_lost_since, line_count(std::string_view(log.lines).substr(kept)),
                     now);
}

// A reader that has gone (a closed pipe) ends the echo, not the server.
void end_echo(EventLog& log)
{
    log.echo_to_stdout = false;
    std::fprintf(stderr, "standard output: %s; events go to %s only\n", log_file_error_text().c_str(),
                 log.path.c_str());
    console_close(log.console);
}

// Offers bytes to the console: true when it took them all. A line it took
// in part is finished before anything else is echoed, or the next line would
// be glued to it; the lines after that are skipped and counted.
bool echo(EventLog& log, std::string_view bytes, std::time_t now)
{
    const long taken = log.write_console(log.console, bytes);
    if (taken < 0) {
        end_echo(log);
        return false;
    }
    std::string_view rest = bytes.substr(static_cast<std::size_t>(taken));
    if (rest.empty())
        return true;
    if (taken > 0 && bytes[static_cast<std::size_t>(taken) - 1] != '\n') {
        const std::size_t line_end = std::min(rest.find('\n'), rest.size() - 1);
        log.console_line_rest.assign(rest.substr(0, line_end + 1));
        rest.remove_prefix(line_end + 1);
    }
    skip_console_lines(log, line_count(rest), now);
    return false;
}

// True when the console has finished the line it took in part, if any.
bool finish_console_line(EventLog& log)
{
    if (log.console_line_rest.empty())
        return true;
    const long taken = log.write_console(log.console, log.console_line_rest);
    if (taken < 0) {
        end_echo(log);
        return false;
    }
    log.console_line_rest.erase(0, static_cast<std::size_t>(taken));
    return log.console_line_rest.empty();
}

// The note on skipped lines is the first line the console takes after them;
// one that it cannot take at all keeps the count growing.
bool echo_skipped_note(EventLog& log, std::time_t now)
{
    if (log.console_skipped == 0)
        return true;
    char text[192];
    const std::string_view note =
        missed_line(now, log.console_skipped, "console", "skipped", log.console_skipped_since, text);
    const long taken = log.write_console(log.console, note);
    if (taken <= 0) {
        if (taken < 0)
            end_echo(log);
        return false;
    }
    log.console_skipped = 0;
    if (static_cast<std::size_t>(taken) == note.size())
        return true;
    log.console_line_rest.assign(note.substr(static_cast<std::size_t>(taken)));
    return false;
}

void write_stdout(EventLog& log, std::time_t now)
{
    const std::string_view fresh = std::string_view(log.lines).substr(log.echoed);
    log.echoed = log.lines.size();
    if (!log.echo_to_stdout || fresh.empty())
        return;
    if (log.console.handle == NO_LOG_FILE)
        log.console = console_open();
    if (finish_console_line(log) && echo_skipped_note(log, now)) {
        echo(log, fresh, now);
        return;
    }
    if (log.echo_to_stdout)
        skip_console_lines(log, line_count(fresh), now);
}

void append_received(EventLog& log, std::time_t now, std::string_view event, std::string_view block,
                     std::size_t mask_begin, std::size_t mask_end)
{
    begin_line(log, now, event);
    mask_end = std::min(mask_end, block.size());
    const bool masked = mask_begin < mask_end;
    char last = '\0';
    char text[4];
    std::size_t i = 0;
    while (i < block.size()) {
        if (masked && i == mask_begin) {
            append_piece(log.lines, last, LOG_MASK);
            i = mask_end;
            continue;
        }
        // Most of a block is plain text: it goes in whole runs, not a byte
        // at a time.
        const std::size_t run_stop = masked && i < mask_begin ? mask_begin : block.size();
        std::size_t run_end = plain_run_end(block, i, run_stop);
        if (run_end > i) {
            append_piece(log.lines, last, block.substr(i, run_end - i));
            i = run_end;
            continue;
        }
        append_piece(log.lines, last, escaped(block[i], text));
        i++;
    }
    log.lines += '\n';
}

} // namespace

void log_init(EventLog& log, std::string path, bool echo_to_stdout)
{
    log_close(log);
    log = EventLog{};
    log.path = std::move(path);
    log.echo_to_stdout = echo_to_stdout;
    log.lines.reserve(4096);
}

void log_event(EventLog& log, std::time_t now, std::string_view event, std::string_view subject)
{
    const std::size_t lines_before = log.lines.size();
    try {
        begin_line(log, now, event);
        log.lines += subject;
        log.lines += '\n';
    } catch (const std::bad_alloc&) {
        lose_line(log, lines_before, now);
    }
}

void log_received(EventLog& log, std::time_t now, std::string_view event, std::string_view block,
                  std::size_t mask_begin, std::size_t mask_end)
{
    const std::size_t lines_before = log.lines.size();
    try {
        append_received(log, now, event, block, mask_begin, mask_end);
    } catch (const std::bad_alloc&) {
        lose_line(log, lines_before, now);
    }
}

void log_flush(EventLog& log, std::time_t now)
{
    if (log.lines.empty())
        return;
    // Saying a trouble or keeping the rest of a line takes memory; without
    // it the line is gone, the server is not.
    try {
        write_file(log, now);
    } catch (const std::bad_alloc&) {
    }
    try {
        write_stdout(log, now);
    } catch (const std::bad_alloc&) {
    }
    log.lines.clear();
    log.echoed = 0;
}

void log_echo(EventLog& log, std::time_t now)
{
    try {
        write_stdout(log, now);
    } catch (const std::bad_alloc&) {
    }
}

void log_reopen(EventLog& log, std::time_t now)
{
    log_flush(log, now);
    drop_file(log);
    log.file_checked_at = -1;
    log.file_trouble_said = false;
}

void log_close(EventLog& log)
{
    log_flush(log, log.stamp_second);
    drop_file(log);
    console_close(log.console);
}
