// The access lists "ftpusers" (who may log in, in which class) and "ftpchroot"
// (which real users are confined).
#pragma once

// Check `name` against the access list `file_name`, located with config_file_path.
// Lines are "user[:group][@host] [permission] [class]"; the first line whose
// host, group and user parts all match decides: "allow"/"yes" give 1, "deny"/"no"
// give 0, anything else or nothing gives the opposite of `default_result`. No
// matching line gives `default_result`; a file that cannot be opened gives 0.
// Groups are those of `user_account`; the host part is compared with
// `remote_addr` as a network, else with `client_name` as a glob.
//   class_out (may be null): set to null at entry, then to a copy of the class
//   word of the deciding line, if it has one; the caller frees the copy.
int check_access_file(const char* file_name, const char* name, int default_result, char** class_out);

// 1 when the ftpusers file lets `name` log in.
int is_permitted_user(const char* name);
