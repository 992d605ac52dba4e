// Sign-in accounts of the package: a file of "name:hash" lines, the hashes made by libcrypt's
// yescrypt, and the checks every name and password passes before it is used.
#ifndef ORVA_FRONT_ACCOUNTS_H
#define ORVA_FRONT_ACCOUNTS_H

#include <string>
#include <vector>

namespace front {

inline constexpr const char kAccountsFile[] = "/var/packages/Lumidex/target/etc/accounts";
// The one account that may name any user and change the server's settings.
inline constexpr const char kAdminName[] = "admin";

// The accounts file under LUMIDEX_ROOT.
std::string AccountsPath();

// 1 to 64 bytes of ASCII letters, digits, '.', '_', '-' and '@', not starting with '-' or '.':
// safe in the file, in a log line and as a user name of the address books.
bool ValidAccountName(const std::string& name);
// 1 to 1024 bytes without NUL, CR or LF (a line of standard input holds any other password).
bool ValidPassword(const std::string& password);

// A yescrypt hash of `password` with a fresh random salt; "" when libcrypt fails.
std::string HashPassword(const std::string& password);
// Whether `password` gives `hash`. Only yescrypt hashes are accepted, so a weak hash written
// into the file by hand never lets anyone in.
bool HashMatches(const std::string& password, const std::string& hash);

// The file's lines as read (without line ends); an absent file has none. False when the file
// exists but cannot be read.
bool ReadAccountLines(const std::string& path, std::vector<std::string>* lines);
// The hash stored for `name` among `lines`, or "" when there is no such account.
std::string HashOf(const std::vector<std::string>& lines, const std::string& name);
bool AccountExists(const std::string& name);

// Whether `name` and `password` are those of an account. An unknown name or an impossible
// password costs the same hash computation as a real check, so the time of a reply does not
// tell which names exist.
bool CheckPassword(const std::string& name, const std::string& password);

// Fills `bytes` with `size` bytes from the kernel's random source; false when it cannot.
bool RandomBytes(unsigned char* bytes, size_t size);
std::string RandomHex(size_t bytes);

// Compares without stopping at the first difference.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace front

#endif  // ORVA_FRONT_ACCOUNTS_H
