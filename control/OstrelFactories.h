#pragma once
// The class objects of the module: one for the control, one for its
// property page. Each says only how its class is registered.

#include "platform/ctl/ObjectFactory.h"

class COstrelCtrlFactory : public COleObjectFactory {
public:
    COstrelCtrlFactory();
    BOOL UpdateRegistry(BOOL bRegister) override;
};

class COstrelPropPageFactory : public COleObjectFactory {
public:
    COstrelPropPageFactory();
    BOOL UpdateRegistry(BOOL bRegister) override;
};

extern COstrelCtrlFactory g_ctrlFactory;
extern COstrelPropPageFactory g_propPageFactory;
