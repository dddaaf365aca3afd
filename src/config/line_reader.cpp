// The logical-line reader shared by the configuration, access-list and message code.
#include "config/line_reader.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t first_capacity = 128;

struct Delimiters {
    char escape;
    char continuation;
    char comment;
};

// The text of the logical line being gathered, never longer than logical_line_max.
struct Gathered {
    char* text = nullptr;
    std::size_t length = 0;
    std::size_t capacity = 0;

    // Make room for `needed` bytes and the terminating NUL; false when memory ran out.
    bool reserve(std::size_t needed) {
        if (needed + 1 <= capacity) return true;
        std::size_t grown = capacity == 0 ? first_capacity : capacity * 2;
        if (grown < needed + 1) grown = needed + 1;
        if (grown > logical_line_max + 1) grown = logical_line_max + 1;
        auto* bigger = static_cast<char*>(std::realloc(text, grown));
        if (bigger == nullptr) return false;
        text = bigger;
        capacity = grown;
        return true;
    }
};

// What reading one physical line found out. The piece (the line without its
// comment and newline) has been appended to the gathered text as far as it fits.
struct PhysicalLine {
    bool read = false;                  // false: end of input before any byte
    bool comment_in_first_column = false;
    bool ends_in_continuation = false;  // last piece character is an unescaped continuation
    std::size_t piece_length = 0;       // length of the whole piece, cut or not
    std::size_t piece_kept = 0;         // bytes of it that went into the gathered text
    bool out_of_memory = false;
};

// Read up to and including the next newline. Comment and escape state is followed
// over the whole physical line, so cutting the text at the limit does not change
// where the comment starts or whether the line continues.
PhysicalLine read_physical_line(FILE* stream, const Delimiters& delimiters, Gathered& gathered) {
    PhysicalLine line;
    bool in_comment = false;
    bool odd_escapes = false;  // the next character follows an odd run of escapes
    char last = '\0';
    bool last_escaped = false;
    int c = 0;
    while ((c = getc_unlocked(stream)) != EOF) {
        line.read = true;
        if (c == '\n') break;
        if (in_comment) continue;
        char ch = static_cast<char>(c);
        bool escaped = delimiters.escape != '\0' && odd_escapes;
        if (delimiters.comment != '\0' && ch == delimiters.comment && !escaped) {
            in_comment = true;
            line.comment_in_first_column = line.piece_length == 0;
            continue;
        }
        if (gathered.length < logical_line_max) {
            if (!gathered.reserve(gathered.length + 1)) {
                line.out_of_memory = true;
                return line;
            }
            gathered.text[gathered.length++] = ch;
            ++line.piece_kept;
        }
        ++line.piece_length;
        last = ch;
        last_escaped = escaped;
        odd_escapes = delimiters.escape != '\0' && ch == delimiters.escape && !odd_escapes;
    }
    line.ends_in_continuation = delimiters.continuation != '\0' && line.piece_length > 0 &&
                                last == delimiters.continuation && !last_escaped;
    return line;
}

// Whether an escape character followed by `next` is dropped under `flags`.
bool drops_escape(char next, const Delimiters& delimiters, int flags) {
    bool is_escape = next == delimiters.escape;
    bool is_continuation = delimiters.continuation != '\0' && next == delimiters.continuation;
    bool is_comment = delimiters.comment != '\0' && next == delimiters.comment;
    if (is_escape && (flags & unescape_escape) != 0) return true;
    if (is_continuation && (flags & unescape_continuation) != 0) return true;
    if (is_comment && (flags & unescape_comment) != 0) return true;
    return !is_escape && !is_continuation && !is_comment && (flags & unescape_other) != 0;
}

void unescape(Gathered& gathered, const Delimiters& delimiters, int flags) {
    std::size_t out = 0;
    for (std::size_t in = 0; in < gathered.length; ++in) {
        char ch = gathered.text[in];
        if (ch != delimiters.escape) {
            gathered.text[out++] = ch;
            continue;
        }
        if (in + 1 == gathered.length) break;  // a trailing escape is dropped
        char next = gathered.text[++in];
        if (!drops_escape(next, delimiters, flags)) gathered.text[out++] = ch;
        gathered.text[out++] = next;
    }
    gathered.length = out;
}

// Holds the stream's lock for the whole logical line, so the per-character reads
// can skip locking.
struct StreamLock {
    FILE* stream;
    explicit StreamLock(FILE* locked) : stream(locked) { flockfile(stream); }
    ~StreamLock() { funlockfile(stream); }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
};

}  // namespace

char* read_logical_line(FILE* stream, std::size_t* length, int* line_counter,
                        const char* delimiters, int flags) {
    const char* set = delimiters != nullptr ? delimiters : default_line_delimiters;
    const Delimiters active{set[0], set[1], set[2]};
    if (length != nullptr) *length = 0;

    Gathered gathered;
    bool appended = false;  // some piece, maybe an empty one, became part of the line
    StreamLock lock(stream);
    bool more = true;
    while (more) {
        more = false;
        if (line_counter != nullptr) ++*line_counter;
        std::size_t before = gathered.length;
        PhysicalLine line = read_physical_line(stream, active, gathered);
        if (line.out_of_memory) {
            std::free(gathered.text);
            return nullptr;
        }
        if (!line.read) break;
        // A comment line before anything was gathered is skipped as if absent.
        if (line.comment_in_first_column && before == 0) more = true;
        std::size_t piece = line.piece_length;
        if (line.ends_in_continuation) {
            // The continuation character is in the text only when the piece was not cut.
            if (line.piece_kept == line.piece_length) --gathered.length;
            --piece;
            more = true;
        }
        if (piece == 0 && (before > 0 || more)) continue;
        // An empty line that starts a logical line is an empty string, not the end.
        if (!gathered.reserve(gathered.length)) {
            std::free(gathered.text);
            return nullptr;
        }
        appended = true;
    }
    // A lone continuation character may have left an empty buffer: nothing was read.
    if (!appended) {
        std::free(gathered.text);
        return nullptr;
    }
    if ((flags & (unescape_escape | unescape_continuation | unescape_comment | unescape_other)) != 0 &&
        active.escape != '\0' && std::memchr(gathered.text, active.escape, gathered.length) != nullptr) {
        unescape(gathered, active, flags);
    }
    gathered.text[gathered.length] = '\0';
    if (length != nullptr) *length = gathered.length;
    return gathered.text;
}

char* split_word(char** cursor) {
    while (*cursor != nullptr) {
        char* word = strsep(cursor, " \t");
        if (word[0] != '\0') return word;
    }
    return nullptr;
}
