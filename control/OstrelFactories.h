#pragma once
// The class objects of the module: one for the control, one for its
// property page, one for the signer. Each says how its class is registered;
// the signer's also makes its objects, which are not controls.

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

class COstrelSignerFactory : public COleObjectFactory {
public:
    COstrelSignerFactory();
    BOOL UpdateRegistry(BOOL bRegister) override;
    IUnknown* OnCreateObject() override;
};

extern COstrelCtrlFactory g_ctrlFactory;
extern COstrelPropPageFactory g_propPageFactory;
extern COstrelSignerFactory g_signerFactory;
