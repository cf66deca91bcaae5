// Reading text lines into fixed buffers and finding the line that holds a string.
#pragma once
#include <cstdio>

// Line buffers: 1024 bytes (at most 1023 characters, newline kept) and
// 10240 bytes for long lines.
constexpr int VORN_LINE_LEN = 1024;
constexpr int VORN_LLINE_LEN = 10240;

// What the file at path is when it is not a regular file, told without opening
// it (stat), since opening a named pipe waits for a writer and a directory or a
// device holds no lines: "a directory", "a named pipe", "a device", "a socket"
// or "a special file". Null for a regular file, and for a path that cannot be
// looked at (absent, no permission), which its opener reports.
const char* non_regular_file_kind(const char* path);

void empty_txt_line(char* line);
// Zeroes the 1024-byte line and reads at most 1023 characters; returns 0 even at
// end of file, where the line stays empty.
int read_one_line(char* line, FILE* f);
// Reading a file line by line while knowing, for messages, the 1-based number of
// the physical line each piece of at most 1023 characters belongs to.
struct NumberedLines {
    FILE* f;
    long number;       // line of the last piece read, 0 before the first
    bool line_ended;   // the last piece ended its line
};
NumberedLines numbered_lines(FILE* f);
// read_one_line into line; false at end of file with nothing read, or on a
// read error (ferror tells them apart).
bool read_numbered_line(char* line, NumberedLines& lines);
// Reading a file by whole lines of any length, numbered from 1: a line is one
// line however long it is. Its text (newline kept) ends at its first NUL byte.
// A line longer than VORN_WHOLE_LINE_MAX bytes is read to its end but given as
// an empty text marked overlong, so that no reader takes a cut line for a
// whole one; callers skip it.
constexpr size_t VORN_WHOLE_LINE_MAX = (size_t)1 << 20;
struct WholeLines {
    FILE* f;
    long number;      // line of the last text read, 0 before the first
    char* text;       // malloc'd; valid until the next read or free_whole_lines
    size_t room;      // bytes allocated for text
    bool overlong;    // the last line was longer than VORN_WHOLE_LINE_MAX
    bool failed;      // the last read stopped on a read error or lack of memory, not at the end
};
WholeLines whole_lines(FILE* f);
// The next line into lines.text; false at end of file with nothing read, and
// false with failed set on a read error (a directory, a device fault; a line
// cut by it is not given) or when no memory is left for the line (after a warning).
bool read_whole_line(WholeLines& lines);
void free_whole_lines(WholeLines& lines);
void empty_txt_lline(char* line);
int read_one_lline(char* line, FILE* f);
// Reads one line and stores the numbers of its first words (at most n) in v[k];
// elements past the words found keep their values. Returns 0.
int read_one_line_to_f32(float* v, unsigned n, FILE* f);
// As above, but a line of fewer than n words stores nothing, warns and returns -1.
int read_one_line_to_f32_strict(float* v, unsigned n, FILE* f);
// Byte offset of the first line holding pattern, with the file left at that
// line's start; -1 (file at its end) when none. The file is rewound first.
long FILE_find_str_line(FILE* f, const char* pattern);
// The same over no more than the first N+1 lines.
long FILE_Nfind_str_line(FILE* f, const char* pattern, int N);
// 1-based number of the first of the first N+1 lines of the file at path that
// holds pattern, or -1. A file that cannot be opened is fatal.
int f_Nfind_str_line(char* path, const char* pattern, int N);
