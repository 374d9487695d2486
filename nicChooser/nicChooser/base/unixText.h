#pragma once
// The system's words for what a Linux call reports: an error number's
// message, and the names of users and groups, for messages and debug lines.

#include <QString>

#include <sys/types.h>

/// The system's message for error (an errno value).
QString errorText(int error);

/// The user's name, or the number when it has none.
QString userName(uid_t uid);

/// The group's name, or the number when it has none.
QString groupName(gid_t gid);
