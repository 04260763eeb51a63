// The Configuration Manager calls of the property dialog under a Wine that does not implement them (see
// config_manager_stand_in.cpp).
#pragma once

namespace propdialog
{
// Decides once, before the dialog opens: true when this Wine cannot locate the node itself and the
// setup-API stand-ins answer.
bool UseConfigManagerStandInUnlessWineLocates(const wchar_t* pszInstanceId);
} // namespace propdialog
