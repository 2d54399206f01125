#pragma once
// The framework's window object and its message maps: a CWnd stands for a
// window (m_hWnd) and routes the window's commands to member functions
// through a table each class declares with the macros below.

#include "platform/text/CString.h"
#include "platform/ui/WinUser.h"

class CWnd;
class CDataExchange;

using AFX_PMSG = void (CWnd::*)();

enum AfxSig : UINT {
    AfxSig_end = 0,
    AfxSig_vv = 1,  // void (void)
};

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // WM_COMMAND
    UINT nCode;     // notification code
    UINT nID;       // first control identifier
    UINT nLastID;   // last control identifier
    UINT nSig;
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// Inside a class: declares its message table.
#define DECLARE_MESSAGE_MAP()                     \
protected:                                        \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)          \
    const AFX_MSGMAP* theClass::GetMessageMap() const { \
        return GetThisMessageMap();                     \
    }                                                   \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {   \
        using ThisClass = theClass;                     \
        using TheBaseClass = baseClass;                 \
        static const AFX_MSGMAP_ENTRY kMessageEntries[] = {
#define END_MESSAGE_MAP()                                                                          \
    { 0, 0, 0, 0, AfxSig_end, nullptr }                                                            \
    }                                                                                              \
    ;                                                                                              \
    static const AFX_MSGMAP kMessageMap = {&TheBaseClass::GetThisMessageMap, &kMessageEntries[0]}; \
    return &kMessageMap;                                                                           \
    }

#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND,                  \
     BN_CLICKED,                  \
     static_cast<UINT>(id),       \
     static_cast<UINT>(id),       \
     AfxSig_vv,                   \
     static_cast<AFX_PMSG>(&ThisClass::memberFxn)},

#define ON_CONTROL(code, id, memberFxn) \
    {WM_COMMAND,                        \
     static_cast<UINT>(code),           \
     static_cast<UINT>(id),             \
     static_cast<UINT>(id),             \
     AfxSig_vv,                         \
     static_cast<AFX_PMSG>(&ThisClass::memberFxn)},

#define ON_LBN_SELCHANGE(id, memberFxn) ON_CONTROL(LBN_SELCHANGE, id, memberFxn)
#define ON_LBN_DBLCLK(id, memberFxn) ON_CONTROL(LBN_DBLCLK, id, memberFxn)
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)

class CWnd {
public:
    CWnd();
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    // The control with this identifier among this window's children, or null.
    // The object stays valid while the window lives.
    CWnd* GetDlgItem(int nID) const;
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;

    // Moves data between the controls and the members DoDataExchange binds:
    // from the controls with TRUE, to them with FALSE.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    // Binds this object to the control of a dialog.
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);

    // The window procedure of a dialog this object is attached to.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnInitDialog();
    virtual void OnClose();

    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

    friend class CDialog;
};
