// Logical lines of wharfd.conf, the access lists and message files: comments,
// continued lines and escape characters.
#pragma once

#include <cstddef>
#include <cstdio>

// Most text that one logical line gathers (counted before unescaping). Text beyond
// it is read and dropped up to the end of the logical line, continuations
// included, so hostile input cannot grow memory without bound while the line
// counter and the next logical line stay right: the returned line is cut here.
constexpr std::size_t logical_line_max = 64 * 1024;

// Unescape bits: which escape pairs lose their escape character.
constexpr int unescape_escape = 1;        // escape + escape -> escape
constexpr int unescape_continuation = 2;  // escape + continuation -> continuation
constexpr int unescape_comment = 4;       // escape + comment -> comment
constexpr int unescape_other = 8;         // escape + any other character -> that character
// What the configuration file and the access lists use.
constexpr int unescape_standard = unescape_escape | unescape_continuation | unescape_comment;

// Delimiter sets: escape, continuation and comment character, in that order; NUL
// switches one off. Passing null to read_logical_line means the default set.
constexpr char default_line_delimiters[3] = {'\\', '\\', '#'};
constexpr char raw_line_delimiters[3] = {'\0', '\0', '\0'};

// Read one logical line from `stream`: physical lines ending in an unescaped
// continuation character are joined, a comment runs from the first unescaped
// comment character to the end of its physical line (a comment line in the first
// column before anything was gathered is skipped), the newline is removed and,
// per `flags`, escape characters are removed. Blanks are never trimmed.
//   length: receives the length of the returned text (may be null).
//   line_counter: the caller's counter, incremented for every physical line read
//     and once more for the read that meets the end of input (may be null).
//   delimiters: three characters as above, or null for the default set.
// Returns a malloc'd NUL-terminated line that the caller frees, or null at end of
// input with nothing read or when memory runs out (gathered text is freed).
char* read_logical_line(FILE* stream, std::size_t* length, int* line_counter,
                        const char* delimiters, int flags);

// Split off the next word of `*cursor` at blanks and tabs, skipping empty words
// (runs of blanks count as one separator). The word is NUL-terminated in place;
// `*cursor` then points just after the one blank or tab that ended it, or is null
// when the text ran out. Returns null when no word is left.
char* split_word(char** cursor);
