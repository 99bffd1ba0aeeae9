#pragma once
// The advapi32 functions the helper calls, bound on first use (see
// system_library.h): a `status` on a machine that is not set up, and every
// refusal of bad arguments, never calls one. Each behaves as the function it
// is named after and, when the library or the function cannot be bound,
// fails as that function does, with the last error set.

#include <windows.h>

namespace tessarin::win32::advapi {

BOOL convert_sid_to_string_sid(PSID sid, LPWSTR* text);
BOOL convert_string_sid_to_sid(LPCWSTR text, PSID* sid);
BOOL convert_string_security_descriptor(LPCWSTR text, DWORD revision,
                                        PSECURITY_DESCRIPTOR* descriptor, PULONG size);
void free_sid(PSID sid);
BOOL open_process_token(HANDLE process, DWORD access, PHANDLE token);
BOOL get_token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                           PDWORD needed);
// RtlGenRandom, exported as SystemFunction036.
BOOL gen_random(PVOID buffer, ULONG size);

}  // namespace tessarin::win32::advapi
