#pragma once
// The module OSTREL.OCX: its one module object and the static objects it
// is built from.

#include "platform/com/ControlModule.h"

class COstrelModule : public COleControlModule {
public:
    COstrelModule();
    BOOL InitInstance() override;
    int ExitInstance() override;
};

extern COstrelModule theApp;
