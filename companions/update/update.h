// varnex-update: the update check (no arguments: compares the installed Version with
// the newest version named by a version source) and the account store (-auth: checks
// a login against the QI server and stores UserName and Password).
#pragma once

#include <cstddef>
#include <cstdint>

#define UPDATE "UPDATE"

// Exit codes of the update check.
enum { UPDATE_NONE_NEEDED = 0, UPDATE_AVAILABLE = 1, UPDATE_CHECK_FAILED = 2 };

// Compares dotted version texts number by number ("1.10" > "1.9"; missing numbers
// count as 0; anything after the numbers is ignored): <0, 0 or >0.
int version_compare(const char *a, const char *b);
// The stored password text: the 40 lower-case hex digits of the SHA-1 of the typed one.
bool stored_password_text(const char *typed, char out[41]);
// A login that is a UID: decimal digits only, fitting 32 bits unsigned.
bool login_to_uid(const char *login, uint32_t *uid);
// Reads the newest version from a file path or an http://HOST[:PORT]/PATH address
// into out (its first line, without blanks around it); false after logging why.
bool read_version_source(const char *source, char *out, size_t cap);

// The newest version in an HTTP answer of len octets: the first line of its body
// after a 200 status; false otherwise.
bool version_from_http_answer(const char *answer, size_t len, char *out, size_t cap);

// The run's overall deadline (update_deadline.h): started first, it ends the program
// with exit code 2 and a line naming what (e.g. "The update check") when the run
// outlasts it. deadline_stop ends the watch: from then on the run is not cut short,
// so a run stops it before it stores anything.
bool deadline_start(const char *what);
void deadline_stop();
int deadline_left_ms(); // time left until the deadline, 0 when it has passed

int update_main(int argc, char **argv);
