// The settings of the session's connection class, built from wharfd.conf.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/socket_address.h"

// The kind of login.
enum ClassType : int {
    GUEST = 0,   // anonymous login, always confined with chroot
    CHROOT = 1,  // real user confined with chroot
    REAL = 2,    // real user with the whole file system
};

// One on-the-fly conversion, in the order its suffix first appears in the file.
// A rule whose types, disable or command is null exists but never applies.
struct ConversionRule {
    char* suffix = nullptr;   // name ending that requests the conversion (owned)
    char* types = nullptr;    // "f" plain files, "d" directories (owned or null)
    char* disable = nullptr;  // file whose existence disables the rule, "." never (owned or null)
    char* command = nullptr;  // command template, a word "%s" is the base name (owned or null)
    ConversionRule* next = nullptr;
};

// Bits of ClassSettings::flags; each is named after its directive.
namespace class_flag {
constexpr std::uint32_t checkportcmd = 0x01;  // PORT/LPRT/EPRT destinations are checked
constexpr std::uint32_t denyquick = 0x02;     // USER refuses denied users before the password
constexpr std::uint32_t hidesymlinks = 0x04;  // LIST follows symbolic links
constexpr std::uint32_t modify = 0x08;        // CHMOD, DELE, MKD, RMD, RNFR, UMASK allowed
constexpr std::uint32_t passive = 0x10;       // PASV, LPSV, EPSV allowed
constexpr std::uint32_t private_ = 0x20;      // STAT leaves out the class settings
constexpr std::uint32_t sanenames = 0x40;     // file names of modifying commands must be sane
constexpr std::uint32_t upload = 0x80;        // APPE, STOR, STOU allowed
constexpr std::uint32_t defaults = checkportcmd | modify | passive | upload;
}  // namespace class_flag

// Every string and rule here belongs to curclass; reset_class frees them.
// Written by config/ (reset_class, load_config); SITE IDLE/RATEGET/RATEPUT change
// timeout, rateget and rateput of the running session (command); login sets type.
struct ClassSettings {
    SocketAddress advertise;                 // address announced by passive replies, length 0 = none
    char* chroot = nullptr;                  // template of the root directory at login
    char* classname = nullptr;               // name of the class
    ConversionRule* conversions = nullptr;   // on-the-fly conversions
    char* display = nullptr;                 // file shown when entering a directory
    char* homedir = nullptr;                 // template of the start directory at login
    std::uint32_t flags = class_flag::defaults;  // the eight on/off settings
    long long limit = -1;                    // simultaneous sessions, -1 unlimited
    char* limitfile = nullptr;               // message shown when the limit refuses a login
    long long maxfilesize = -1;              // largest upload, -1 unlimited
    long long maxrateget = 0;                // bound of SITE RATEGET, 0 none
    long long maxrateput = 0;                // bound of SITE RATEPUT, 0 none
    long long maxtimeout = 7200;             // largest idle timeout
    char* motd = nullptr;                    // message of the day ("motd" after reset)
    char* notify = nullptr;                  // glob of files announced on entering a directory
    long long portmin = 0;                   // passive port range, 0/0 = none
    long long portmax = 0;
    long long rateget = 0;                   // download throttle, bytes/second, 0 unlimited
    long long rateput = 0;                   // upload throttle, bytes/second, 0 unlimited
    long long timeout = 900;                 // idle timeout in seconds
    ClassType type = REAL;                   // kind of login; not touched by reset_class
    mode_t umask = 027;                      // file creation mask at login
    long long mmapsize = 0;                  // mapped window for sending, 0 = read blocks
    long long readsize = 0;                  // read block size, 0 = built-in default
    long long writesize = 0;                 // write block size, 0 = built-in default
    long long recvbufsize = 0;               // data socket receive buffer, 0 = system default
    long long sendbufsize = 0;               // data socket send buffer, 0 = system default
    long long sendlowat = 0;                 // data socket send low-water mark, 0 = system default

    bool has(std::uint32_t flag) const { return (flags & flag) != 0; }
};

extern ClassSettings curclass;

// Free the strings and rules of curclass and restore every default but `type`.
void reset_class();

// Rebuild curclass for `class_name` from wharfd.conf.
void load_config(const char* class_name);

// `name` if absolute, else "<config_dir>/<name>"; one shared static buffer of 1024
// bytes, valid until the next call.
const char* config_file_path(const char* name);
