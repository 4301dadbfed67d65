// WMI client interfaces: the locator, a namespace's services, class objects, their enumerators and
// call contexts, with the SDK's method order, identifiers and status codes.
#pragma once

#include "oaidl.h"
#include "objidl.h"
#include "unknwn.h"

typedef LONG CIMTYPE;

struct IWbemQualifierSet;
struct IWbemObjectSink;
struct IWbemContext;
struct IWbemServices;

typedef enum tag_WBEM_GENERIC_FLAG_TYPE {
    WBEM_FLAG_RETURN_IMMEDIATELY = 0x10,
    WBEM_FLAG_RETURN_WBEM_COMPLETE = 0,
    WBEM_FLAG_BIDIRECTIONAL = 0,
    WBEM_FLAG_FORWARD_ONLY = 0x20,
    WBEM_FLAG_NO_ERROR_OBJECT = 0x40,
    WBEM_FLAG_RETURN_ERROR_OBJECT = 0,
    WBEM_FLAG_SEND_STATUS = 0x80,
    WBEM_FLAG_DONT_SEND_STATUS = 0,
} WBEM_GENERIC_FLAG_TYPE;

typedef enum tag_WBEM_TIMEOUT_TYPE {
    WBEM_NO_WAIT = 0,
    WBEM_INFINITE = (LONG)0xffffffff,
} WBEM_TIMEOUT_TYPE;

typedef enum tag_WBEMSTATUS {
    WBEM_NO_ERROR = 0,
    WBEM_S_NO_ERROR = 0,
    WBEM_S_SAME = 0,
    WBEM_S_FALSE = 1,
    WBEM_S_ALREADY_EXISTS = 0x40001,
    WBEM_S_RESET_TO_DEFAULT = 0x40002,
    WBEM_S_DIFFERENT = 0x40003,
    WBEM_S_TIMEDOUT = 0x40004,
    WBEM_S_NO_MORE_DATA = 0x40005,
    WBEM_S_OPERATION_CANCELLED = 0x40006,
    WBEM_S_PENDING = 0x40007,
    WBEM_E_FAILED = (LONG)0x80041001,
    WBEM_E_NOT_FOUND = (LONG)0x80041002,
    WBEM_E_ACCESS_DENIED = (LONG)0x80041003,
    WBEM_E_PROVIDER_FAILURE = (LONG)0x80041004,
    WBEM_E_TYPE_MISMATCH = (LONG)0x80041005,
    WBEM_E_OUT_OF_MEMORY = (LONG)0x80041006,
    WBEM_E_INVALID_CONTEXT = (LONG)0x80041007,
    WBEM_E_INVALID_PARAMETER = (LONG)0x80041008,
    WBEM_E_NOT_AVAILABLE = (LONG)0x80041009,
    WBEM_E_CRITICAL_ERROR = (LONG)0x8004100a,
    WBEM_E_INVALID_STREAM = (LONG)0x8004100b,
    WBEM_E_NOT_SUPPORTED = (LONG)0x8004100c,
    WBEM_E_INVALID_SUPERCLASS = (LONG)0x8004100d,
    WBEM_E_INVALID_NAMESPACE = (LONG)0x8004100e,
    WBEM_E_INVALID_OBJECT = (LONG)0x8004100f,
    WBEM_E_INVALID_CLASS = (LONG)0x80041010,
    WBEM_E_PROVIDER_NOT_FOUND = (LONG)0x80041011,
    WBEM_E_INVALID_PROVIDER_REGISTRATION = (LONG)0x80041012,
    WBEM_E_PROVIDER_LOAD_FAILURE = (LONG)0x80041013,
    WBEM_E_INITIALIZATION_FAILURE = (LONG)0x80041014,
    WBEM_E_TRANSPORT_FAILURE = (LONG)0x80041015,
    WBEM_E_INVALID_OPERATION = (LONG)0x80041016,
    WBEM_E_INVALID_QUERY = (LONG)0x80041017,
    WBEM_E_INVALID_QUERY_TYPE = (LONG)0x80041018,
    WBEM_E_ALREADY_EXISTS = (LONG)0x80041019,
    WBEM_E_INVALID_METHOD = (LONG)0x8004102e,
    WBEM_E_INVALID_METHOD_PARAMETERS = (LONG)0x8004102f,
    WBEM_E_SHUTTING_DOWN = (LONG)0x80041033,
} WBEMSTATUS;

typedef enum tag_CIMTYPE_ENUMERATION {
    CIM_ILLEGAL = 0xfff,
    CIM_EMPTY = 0,
    CIM_SINT8 = 16,
    CIM_UINT8 = 17,
    CIM_SINT16 = 2,
    CIM_UINT16 = 18,
    CIM_SINT32 = 3,
    CIM_UINT32 = 19,
    CIM_SINT64 = 20,
    CIM_UINT64 = 21,
    CIM_REAL32 = 4,
    CIM_REAL64 = 5,
    CIM_BOOLEAN = 11,
    CIM_STRING = 8,
    CIM_DATETIME = 101,
    CIM_REFERENCE = 102,
    CIM_CHAR16 = 103,
    CIM_OBJECT = 13,
    CIM_FLAG_ARRAY = 0x2000,
} CIMTYPE_ENUMERATION;

DEFINE_GUID(CLSID_WbemLocator, 0x4590f811, 0x1d3a, 0x11d0, 0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e,
            0x24);
DEFINE_GUID(CLSID_WbemContext, 0x674b6698, 0xee92, 0x11d0, 0xad, 0x71, 0x00, 0xc0, 0x4f, 0xd8, 0xfd,
            0xff);
DEFINE_GUID(IID_IWbemClassObject, 0xdc12a681, 0x737f, 0x11cf, 0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b,
            0x2e, 0x24);
DEFINE_GUID(IID_IWbemLocator, 0xdc12a687, 0x737f, 0x11cf, 0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e,
            0x24);
DEFINE_GUID(IID_IEnumWbemClassObject, 0x027947e1, 0xd731, 0x11ce, 0xa3, 0x57, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x01);
DEFINE_GUID(IID_IWbemContext, 0x44aca674, 0xe8fc, 0x11d0, 0xa0, 0x7c, 0x00, 0xc0, 0x4f, 0xb6, 0x88,
            0x20);
DEFINE_GUID(IID_IWbemServices, 0x9556dc99, 0x828c, 0x11cf, 0xa3, 0x7e, 0x00, 0xaa, 0x00, 0x32, 0x40,
            0xc7);

struct IWbemClassObject : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** ppQualSet) = 0;
    virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal,
                                          CIMTYPE* pType, LONG* plFlavor) = 0;
    virtual HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal,
                                          CIMTYPE Type) = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR wszQualifierName, LONG lFlags,
                                               VARIANT* pQualifierVal, SAFEARRAY** pNames) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lEnumFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* strName, VARIANT* pVal,
                                           CIMTYPE* pType, LONG* plFlavor) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndEnumeration(void) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR wszProperty,
                                                              IWbemQualifierSet** ppQualSet) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectText(LONG lFlags, BSTR* pstrObjectText) = 0;
    virtual HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG lFlags,
                                                        IWbemClassObject** ppNewClass) = 0;
    virtual HRESULT STDMETHODCALLTYPE SpawnInstance(LONG lFlags,
                                                    IWbemClassObject** ppNewInstance) = 0;
    virtual HRESULT STDMETHODCALLTYPE CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) = 0;
    virtual HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags,
                                                IWbemClassObject** ppInSignature,
                                                IWbemClassObject** ppOutSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR wszName, LONG lFlags,
                                                IWbemClassObject* pInSignature,
                                                IWbemClassObject* pOutSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR wszName) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG lEnumFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE NextMethod(LONG lFlags, BSTR* pstrName,
                                                 IWbemClassObject** ppInSignature,
                                                 IWbemClassObject** ppOutSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndMethodEnumeration(void) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR wszMethod,
                                                            IWbemQualifierSet** ppQualSet) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR wszMethodName,
                                                      BSTR* pstrClassName) = 0;
};

// The result of a semisynchronous call. The machine answers every call synchronously and hands out
// none, so it implements none; a caller may still release one it was given.
struct IWbemCallResult : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetResultObject(LONG lTimeout,
                                                      IWbemClassObject** ppResultObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResultString(LONG lTimeout, BSTR* pstrResultString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResultServices(LONG lTimeout,
                                                        IWbemServices** ppServices) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCallStatus(LONG lTimeout, LONG* plStatus) = 0;
};

struct IEnumWbemClassObject : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reset(void) = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount,
                                           IWbemClassObject** apObjects, ULONG* puReturned) = 0;
    virtual HRESULT STDMETHODCALLTYPE NextAsync(ULONG uCount, IWbemObjectSink* pSink) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(LONG lTimeout, ULONG nCount) = 0;
};

struct IWbemContext : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Clone(IWbemContext** ppNewCopy) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNames(LONG lFlags, SAFEARRAY** pNames) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* pstrName, VARIANT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndEnumeration(void) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR wszName, LONG lFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteAll(void) = 0;
};

struct IWbemServices : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR strNamespace, LONG lFlags,
                                                    IWbemContext* pCtx,
                                                    IWbemServices** ppWorkingNamespace,
                                                    IWbemCallResult** ppResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG lFlags,
                                                      IWbemObjectSink** ppResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags,
                                                IWbemContext* pCtx, IWbemClassObject** ppObject,
                                                IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR strObjectPath, LONG lFlags,
                                                     IWbemContext* pCtx,
                                                     IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* pObject, LONG lFlags,
                                               IWbemContext* pCtx,
                                               IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject* pObject, LONG lFlags,
                                                    IWbemContext* pCtx,
                                                    IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR strClass, LONG lFlags,
                                                  IWbemContext* pCtx,
                                                  IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR strClass, LONG lFlags,
                                                       IWbemContext* pCtx,
                                                       IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR strSuperclass, LONG lFlags,
                                                      IWbemContext* pCtx,
                                                      IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags,
                                                           IWbemContext* pCtx,
                                                           IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* pInst, LONG lFlags,
                                                  IWbemContext* pCtx,
                                                  IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags,
                                                       IWbemContext* pCtx,
                                                       IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR strObjectPath, LONG lFlags,
                                                     IWbemContext* pCtx,
                                                     IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags,
                                                          IWbemContext* pCtx,
                                                          IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags,
                                                         IWbemContext* pCtx,
                                                         IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                            IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                                LONG lFlags, IWbemContext* pCtx,
                                                IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR strQueryLanguage,
                                                     const BSTR strQuery, LONG lFlags,
                                                     IWbemContext* pCtx,
                                                     IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR strQueryLanguage,
                                                            const BSTR strQuery, LONG lFlags,
                                                            IWbemContext* pCtx,
                                                            IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    ExecNotificationQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                               IWbemContext* pCtx, IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName,
                                                 LONG lFlags, IWbemContext* pCtx,
                                                 IWbemClassObject* pInParams,
                                                 IWbemClassObject** ppOutParams,
                                                 IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR strObjectPath,
                                                      const BSTR strMethodName, LONG lFlags,
                                                      IWbemContext* pCtx,
                                                      IWbemClassObject* pInParams,
                                                      IWbemObjectSink* pResponseHandler) = 0;
};

struct IWbemLocator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource,
                                                    const BSTR strUser, const BSTR strPassword,
                                                    const BSTR strLocale, LONG lSecurityFlags,
                                                    const BSTR strAuthority, IWbemContext* pCtx,
                                                    IWbemServices** ppNamespace) = 0;
};
