// Whether Kavset runs with administrator rights: the caller's token (the thread's while it impersonates,
// else the process's) passes an access check against a security descriptor that grants access to the
// built-in Administrators group only. Unlike a test of group membership, the access check honours a
// filtered (non-elevated) token, whose Administrators entry is for deny only.
#pragma once

namespace Kavelor
{
bool IsAdmin();
} // namespace Kavelor
