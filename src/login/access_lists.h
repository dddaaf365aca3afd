#pragma once
int check_access_file(const char* file_name, const char* name, int default_result, char** class_out);
