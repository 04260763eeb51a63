// CAboutDlg: the version dialog — the picture, "Kavelor Version 1.0.1", a line on what Kavelor does, and
// OK. A plain modal dialog without behaviour of its own.
#pragma once

#include "trayapp/Dialog.h"
#include "trayapp/res/resource.h"

namespace Kavelor
{
class CAboutDlg : public CDialog
{
public:
    explicit CAboutDlg(HINSTANCE hInstance) : CDialog(hInstance, IDD_ABOUTBOX) {}
};
} // namespace Kavelor
