// COM's life cycle as Windows gives it: the implicit apartment, object creation and the global
// interface table.
#include <windows.h>

#include <objbase.h>

#include "Counted.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

namespace {

using test::Counted;

// {5B3C1F7E-2A44-4E0B-9C61-7D0E8A2F4B90}: a class no machine has.
const CLSID kNoSuchClass = {
    0x5b3c1f7e, 0x2a44, 0x4e0b, {0x9c, 0x61, 0x7d, 0x0e, 0x8a, 0x2f, 0x4b, 0x90}};

struct Borrow {
    DWORD cookie;
    HRESULT create, get;
    IUnknown* object;
};

HRESULT CreateTable(IGlobalInterfaceTable** table) {
    return CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                            IID_IGlobalInterfaceTable, reinterpret_cast<void**>(table));
}

// A thread that never initialises COM: it lives in the implicit MTA, if there is one.
DWORD WINAPI UseWithoutInitialising(LPVOID parameter) {
    Borrow* borrow = static_cast<Borrow*>(parameter);
    IGlobalInterfaceTable* table = nullptr;
    borrow->create = CreateTable(&table);
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

void RunThread(LPTHREAD_START_ROUTINE routine, void* parameter) {
    test::ScopedHandle thread(CreateThread(NULL, 0, routine, parameter, 0, NULL));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
}

}  // namespace

TEST(Com, ImplicitMultithreadedApartmentWhileAnotherThreadHoldsIt) {
    Borrow borrow = {};
    RunThread(UseWithoutInitialising, &borrow);
    EXPECT_EQ(borrow.create, CO_E_NOTINITIALIZED) << "no thread holds the MTA yet";

    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* table = nullptr;
    ASSERT_EQ(CreateTable(&table), S_OK);
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

// The table holds a reference until it is revoked; a revoked cookie, like one never handed out,
// names nothing. An unknown class or no out-parameter: nothing is made.
TEST(Com, GlobalInterfaceTableReferencesBadCookiesAndBadCreations) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IUnknown* made = reinterpret_cast<IUnknown*>(0x1234);
    EXPECT_EQ(CoCreateInstance(kNoSuchClass, NULL, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&made)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(made, nullptr) << "the out-parameter is cleared on failure";
    EXPECT_EQ(CreateTable(NULL), E_POINTER);
    IGlobalInterfaceTable* table = nullptr;
    ASSERT_EQ(CreateTable(&table), S_OK);
    Counted object;
    DWORD cookie = 0;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(object.References(), 1u);
    EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(object.References(), 1u);
    for (DWORD bad : {cookie, DWORD(0), DWORD(0xdeadbeef)}) {
        SCOPED_TRACE(bad);
        IUnknown* back = reinterpret_cast<IUnknown*>(0x1234);
        EXPECT_EQ(table->GetInterfaceFromGlobal(bad, IID_IUnknown, reinterpret_cast<void**>(&back)),
                  E_INVALIDARG);
        EXPECT_EQ(table->RevokeInterfaceFromGlobal(bad), E_INVALIDARG);
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
