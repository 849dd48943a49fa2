// mirvolctl's named forms for the device-port and run-time commands: each
// builds a small record from its arguments and prints the answered record's
// fields. Records are little-endian with the status word at offset 0 (0 when
// sent). POSIX and the C++ standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirvolctl {

// True when NAME is one of these forms.
bool is_record_form(const std::string &name);

// Builds the record of form NAME from its arguments (those after NAME) and
// sets the command number. False with a message for bad arguments.
bool build_form_record(const std::string &name, const std::vector<std::string> &args,
                       uint32_t *cmd, std::vector<uint8_t> *record, std::string *err);

// The answered record as "key=value" lines: status= first, then the form's
// fields (a record of the wrong size as record=<hex>).
std::vector<std::string> describe_form_answer(const std::string &name,
                                              const std::vector<std::string> &args,
                                              const std::vector<uint8_t> &record);

// One usage line per form, for the usage text.
std::string forms_help(void);

}  // namespace mirvolctl
