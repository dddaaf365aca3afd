// The directives of wharfd.conf: what load_config hands each applying line to.
#pragma once

// One applying line, split by load_config. The strings point into the line buffer,
// which the directive may cut further (conversion splits the rest of the line).
struct DirectiveLine {
    const char* path = nullptr;     // full path of the configuration file, for messages
    int line_number = 0;            // line counter of the reader (last physical line)
    const char* word = nullptr;     // the directive as written
    bool none = false;              // class field "none": switch off, or back to the default
    char* argument = nullptr;       // third word, or null
    char* rest = nullptr;           // text after the blank or tab that ended the argument, or null
    char** template_class = nullptr;  // the reader's template state (owned string or null)
};

// Look the directive up (without regard to case) and apply it to curclass; an
// unknown directive is logged and ignored.
void apply_directive(DirectiveLine& line);
