#include "common/event_log.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstdio>

namespace {

// Rebuilt only when the second changes: a busy turn logs many lines in one.
void refresh_stamp(EventLog& log, std::time_t now)
{
    if (now == log.stamp_second && !log.stamp.empty())
        return;
    std::tm t{};
    local_time(now, &t);
    char text[64];
    int length = std::snprintf(text, sizeof text, "%02d:%02d:%02d %02d/%02d/%04d ", t.tm_hour, t.tm_min,
                               t.tm_sec, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
    log.stamp.assign(text, static_cast<std::size_t>(std::max(length, 0)));
    log.stamp_second = now;
}

void begin_line(EventLog& log, std::time_t now, std::string_view event)
{
    refresh_stamp(log, now);
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

std::string_view escaped(char c, char (&text)[4])
{
    const auto byte = static_cast<unsigned char>(c);
    if (!is_control(byte)) {
        text[0] = c;
        return {text, 1};
    }
    constexpr char digits[] = "0123456789abcdef";
    text[0] = '\\';
    text[1] = 'x';
    text[2] = digits[byte >> 4];
    text[3] = digits[byte & 0x0f];
    return {text, 4};
}

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
    else if (opened.status == LogOpenStatus::not_a_regular_file)
        say_file_trouble(log, "not a regular file");
    else
        say_file_trouble(log, log_file_error_text());
}

void write_file(EventLog& log, std::time_t now)
{
    keep_file_at_path(log, now);
    if (log.file == NO_LOG_FILE)
        return;
    if (log_file_write(log.file, log.lines)) {
        log.file_trouble_said = false;
        return;
    }
    say_file_trouble(log, log_file_error_text());
    drop_file(log);
}

// A reader that has gone (a closed pipe) ends the echo, not the server.
void write_stdout(EventLog& log)
{
    if (!log.echo_to_stdout || stdout_write(log.lines))
        return;
    log.echo_to_stdout = false;
    std::fprintf(stderr, "standard output: %s; events go to %s only\n", log_file_error_text().c_str(),
                 log.path.c_str());
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
    begin_line(log, now, event);
    log.lines += subject;
    log.lines += '\n';
}

void log_received(EventLog& log, std::time_t now, std::string_view event, std::string_view block,
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
        std::size_t run_end = i;
        while (run_end < run_stop && is_plain(block[run_end]))
            run_end++;
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

void log_flush(EventLog& log, std::time_t now)
{
    if (log.lines.empty())
        return;
    write_file(log, now);
    write_stdout(log);
    log.lines.clear();
}

void log_close(EventLog& log)
{
    log_flush(log, log.stamp_second);
    drop_file(log);
}
