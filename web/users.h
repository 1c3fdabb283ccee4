// The users file of the web display: one line per user,
//
//   NAME:ROLE:HASH
//
// NAME of letters, digits, '.', '_' and '-' (1..32), ROLE operator or
// viewer, HASH a libsodium crypto_pwhash string (salt and cost inside).
// Lines starting with '#' and empty lines are ignored. Format in
// docs/web.md.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolvane::web {

enum class Role { kViewer, kOperator };

const char* RoleName(Role role);
std::optional<Role> ParseRole(const std::string& text);

struct User {
  std::string name;
  Role role = Role::kViewer;
  std::string hash;
};

// How much work a password hash takes. kInteractive is what the program
// writes; kMinimal exists for tests, which sign in many times.
enum class HashCost { kInteractive, kMinimal };

bool ValidUserName(const std::string& name);

// Reads the users file. False with a message naming the file and line when
// it cannot be read or a line does not parse.
bool LoadUsers(const std::string& path, std::vector<User>* users, std::string* err);

// Adds NAME to the users file, or replaces its role and password when it is
// there. Creates the file (mode 0600) when missing; the new file replaces
// the old one whole. Passwords shorter than 8 bytes are refused.
bool AddUser(const std::string& path, const std::string& name, Role role,
             const std::string& password, std::string* err, HashCost cost = HashCost::kInteractive);

// True when `password` is the user's. Takes as long for an unknown user
// (null) as for a known one, so timing does not tell names apart.
bool VerifyPassword(const User* user, const std::string& password);

// Whether libsodium started; every function above needs it.
bool InitCrypto();

}  // namespace tolvane::web
