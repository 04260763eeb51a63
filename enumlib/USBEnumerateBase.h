// CUSBEnumerateBase: finds every USB host controller once and visits every device attached to it. Three
// routes reach controllers (legacy "\\.\HCDn" names, the host-controller interface, a scan of all present
// device nodes); controllers reached by name are walked hub by hub through the hub I/O controls, those
// reached only by the scan through the device-node tree. The walk builds nothing itself: derived classes
// override the hooks (OnPortDevice, OnDevNodeDevice). Nothing is reported; a failing branch only shortens
// the walk.
#pragma once

#include "enumlib/USBIoControl.h"
#include "enumlib/WideString.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <vector>

namespace Kavelor
{
bool IsHostControllerService(const WString& strService);
bool IsHostControllerDesc(const WString& strDescription);
bool IsHubDevNode(const WString& strService, const WString& strDescription);

class CUSBEnumerateBase
{
public:
    CUSBEnumerateBase();
    virtual ~CUSBEnumerateBase();
    CUSBEnumerateBase(const CUSBEnumerateBase&) = delete;
    CUSBEnumerateBase& operator=(const CUSBEnumerateBase&) = delete;

    virtual void Enumerate();

protected:
    virtual void EnumerateDevNodeChildren(DEVINST dnDevInst);
    virtual void EnumerateHostController(const WString& strPath);
    virtual void EnumerateHub(const WString& strHubName);
    virtual void EnumeratePort(CUSBIoControl& hub, ULONG ulPort);
    virtual void OnDevNodeHub(DEVINST dnDevInst);
    virtual void OnPortHub(CUSBIoControl& hub, ULONG ulPort, const USB_NODE_CONNECTION_INFORMATION_EX& info);
    virtual void OnDevNodeDevice(DEVINST dnDevInst);
    virtual void OnPortDevice(CUSBIoControl& hub, ULONG ulPort,
                              const USB_NODE_CONNECTION_INFORMATION_EX& info);
    virtual void EnumerateDevNode(DEVINST dnDevInst);

    void EnumerateLegacyNames();
    void EnumerateHostControllerInterface();
    void EnumerateDevNodeScan();
    void OpenAndRegisterController(const WString& strPath);
    // True when the controller's driver key is new in this run (compared ignoring case).
    bool RegisterController(const WString& strDriverKey);

    std::vector<WString> m_controllers;

private:
    // Upper-case names of the hubs walked in this run. Every hub has one upstream port, so a name that
    // comes again is a broken answer: a hub that reports itself, an ancestor, or a hub behind several of
    // its ports. It is not walked again; the walk would otherwise never end or grow with every repeat.
    std::vector<WString> m_walkedHubs;
};
} // namespace Kavelor
