// COM's life cycle as Windows gives it: apartments, process security, object creation and the
// global interface table.
#include <windows.h>

#include <objbase.h>

#include "Counted.h"
#include "LastError.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

namespace {

using test::Counted;

// {5B3C1F7E-2A44-4E0B-9C61-7D0E8A2F4B90}: a class no machine has.
const CLSID kNoSuchClass = {
    0x5b3c1f7e, 0x2a44, 0x4e0b, {0x9c, 0x61, 0x7d, 0x0e, 0x8a, 0x2f, 0x4b, 0x90}};

struct ApartmentSteps {
    HRESULT first, repeat, otherModel;
};

DWORD WINAPI EnterTwiceThenSwitch(LPVOID parameter) {
    ApartmentSteps* steps = static_cast<ApartmentSteps*>(parameter);
    steps->first = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    steps->repeat = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    steps->otherModel = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    CoUninitialize();
    CoUninitialize();
    return 0;
}

struct Borrow {
    DWORD cookie;
    HRESULT create;
    HRESULT get;
    IUnknown* object;
};

// A thread that never initialises COM: it lives in the implicit MTA, if there is one.
DWORD WINAPI UseWithoutInitialising(LPVOID parameter) {
    Borrow* borrow = static_cast<Borrow*>(parameter);
    IGlobalInterfaceTable* table = nullptr;
    borrow->create = CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                                      IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table));
    borrow->get = E_UNEXPECTED;
    borrow->object = nullptr;
    if (SUCCEEDED(borrow->create)) {
        borrow->get = table->GetInterfaceFromGlobal(borrow->cookie, IID_IUnknown,
                                                    reinterpret_cast<void**>(&borrow->object));
        if (borrow->object != nullptr) {
            borrow->object->Release();
        }
        table->Release();
    }
    return 0;
}

IGlobalInterfaceTable* CreateTable() {
    IGlobalInterfaceTable* table = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table)),
              S_OK);
    return table;
}

void RunThread(LPTHREAD_START_ROUTINE routine, void* parameter) {
    test::ScopedHandle thread(CreateThread(NULL, 0, routine, parameter, 0, NULL));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
}

}  // namespace

TEST(Com, ApartmentCountsRepeatsAndRefusesAnotherModel) {
    ApartmentSteps steps = {};
    RunThread(EnterTwiceThenSwitch, &steps);
    EXPECT_EQ(steps.first, S_OK);
    EXPECT_EQ(steps.repeat, S_FALSE);
    EXPECT_EQ(steps.otherModel, RPC_E_CHANGED_MODE);
}

TEST(Com, ImplicitMultithreadedApartmentWhileAnotherThreadHoldsIt) {
    Borrow borrow = {};
    RunThread(UseWithoutInitialising, &borrow);
    EXPECT_EQ(borrow.create, CO_E_NOTINITIALIZED) << "no thread holds the MTA yet";

    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* table = CreateTable();
    ASSERT_NE(table, nullptr);
    Counted object;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, &borrow.cookie), S_OK);
    RunThread(UseWithoutInitialising, &borrow);
    EXPECT_EQ(borrow.create, S_OK);
    EXPECT_EQ(borrow.get, S_OK);
    EXPECT_EQ(borrow.object, static_cast<IUnknown*>(&object)) << "same apartment: no proxy";
    EXPECT_EQ(table->RevokeInterfaceFromGlobal(borrow.cookie), S_OK);
    table->Release();
    CoUninitialize();

    RunThread(UseWithoutInitialising, &borrow);
    EXPECT_EQ(borrow.create, CO_E_NOTINITIALIZED) << "the MTA ended with its last thread";
    EXPECT_EQ(object.References(), 1u);
}

TEST(Com, CreateInstanceOfUnknownClassAndBadArguments) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1234);
    EXPECT_EQ(CoCreateInstance(kNoSuchClass, NULL, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr) << "the out-parameter is cleared on failure";
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                               IID_IUnknown, NULL),
              E_POINTER);
    // The table is no proxy: it has no blanket to set.
    IGlobalInterfaceTable* table = CreateTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(
        CoSetProxyBlanket(table, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, NULL, RPC_C_AUTHN_LEVEL_CALL,
                          RPC_C_IMP_LEVEL_IMPERSONATE, NULL, EOAC_NONE),
        E_NOINTERFACE);
    table->Release();
    CoUninitialize();
}

TEST(Com, SecurityIsSetOncePerProcess) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    HRESULT first = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_NONE,
                                         RPC_C_IMP_LEVEL_IDENTIFY, NULL, EOAC_NONE, NULL);
    HRESULT second = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_CONNECT,
                                          RPC_C_IMP_LEVEL_IMPERSONATE, NULL, EOAC_NONE, NULL);
    EXPECT_EQ(first, S_OK);
    if (OnWine() && second == S_OK) {
        // Wine's CoInitializeSecurity accepts every call; Windows refuses the second.
        GTEST_LOG_(INFO) << "Wine: second CoInitializeSecurity gave S_OK";
    } else {
        EXPECT_EQ(second, RPC_E_TOO_LATE);
    }
    CoUninitialize();
}

TEST(Com, GlobalInterfaceTableRoundTripAndBadCookies) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* table = CreateTable();
    ASSERT_NE(table, nullptr);
    Counted object;
    DWORD cookie = 0;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(object.References(), 1u) << "the table holds a reference";

    IUnknown* back = nullptr;
    ASSERT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IUnknown, reinterpret_cast<void**>(&back)),
              S_OK);
    EXPECT_EQ(back, static_cast<IUnknown*>(&object));
    ULONG held = object.References();
    back->Release();
    EXPECT_EQ(object.References(), held - 1);

    EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(object.References(), 1u) << "revoking gives the reference back";

    // The cookie is gone; so is any cookie never handed out.
    const DWORD bad[] = {cookie, 0, 0xdeadbeef};
    for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); ++i) {
        SCOPED_TRACE(i);
        back = reinterpret_cast<IUnknown*>(0x1234);
        EXPECT_EQ(
            table->GetInterfaceFromGlobal(bad[i], IID_IUnknown, reinterpret_cast<void**>(&back)),
            E_INVALIDARG);
        EXPECT_EQ(table->RevokeInterfaceFromGlobal(bad[i]), E_INVALIDARG);
    }

    // An interface the object does not have cannot be registered.
    cookie = 0;
    EXPECT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IGlobalInterfaceTable, &cookie),
              E_NOINTERFACE);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(object.References(), 1u);
    table->Release();
    CoUninitialize();
}
