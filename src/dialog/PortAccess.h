#pragma once
// Why a named port cannot be used by this user, in words that tell the remedy.

#include <string>

class CChannel;

// Empty when the device may be opened for reading and writing (or the reason is not a permission);
// otherwise one sentence naming the group that owns the device.
std::string PortPermissionNotice(const std::string& path);
// Puts that sentence into the log and the dialog's status lines when there is one; true when it did.
bool TellPortPermission(CChannel& channel, const std::string& path);
