// The automation bridge's reach into the system's COM components. On Windows the regular-expression
// and HTTP request components are the system's own (VBScript.RegExp and
// WinHttp.WinHttpRequest.5.1), created by ProgID and driven by name through IDispatch; the
// registry keeps them under their ProgIDs like any other component, so a test can still put a
// recording component in their place.
#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation_component.hpp"
#include "platform/components/http_request_component.hpp"
#include "platform/components/regexp_component.hpp"

namespace tarlowen {
namespace {

// Owns one VARIANT and clears it.
class Variant {
  public:
    Variant() { VariantInit(&m_value); }
    ~Variant() { VariantClear(&m_value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* get() { return &m_value; }
    const VARIANT& value() const { return m_value; }

  private:
    VARIANT m_value;
};

class DispatchComponent;

bool toVariant(const AutomationValue& value, VARIANT& out);
AutomationValue fromVariant(const VARIANT& value);

// One component of the system, held through its IDispatch for the life of this object. Every call
// goes through GetIDsOfNames and Invoke; a failed call (no such member, an error the component
// raises, a value that cannot cross) gives nullopt, which the bridge turns into an empty value.
class DispatchComponent final : public AutomationComponent {
  public:
    explicit DispatchComponent(IDispatch* dispatch) : m_dispatch(dispatch) {}
    ~DispatchComponent() override {
        if (m_dispatch != nullptr) {
            m_dispatch->Release();
        }
    }
    DispatchComponent(const DispatchComponent&) = delete;
    DispatchComponent& operator=(const DispatchComponent&) = delete;

    [[nodiscard]] IDispatch* dispatch() const { return m_dispatch; }

    std::optional<AutomationValue> invokeMethod(std::string_view name,
                                                AutomationArguments arguments) override {
        // As scripting hosts call: a member that gives a value may be a method or a property.
        return call(name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, arguments, nullptr);
    }

    std::optional<AutomationValue> readProperty(std::string_view name, AutomationArguments index) override {
        return call(name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, index, nullptr);
    }

    bool writeProperty(std::string_view name, AutomationArguments index,
                       const AutomationValue& value) override {
        return call(name, DISPATCH_PROPERTYPUT, index, &value).has_value();
    }

  private:
    std::optional<AutomationValue> call(std::string_view name, WORD flags, AutomationArguments arguments,
                                        const AutomationValue* assigned) {
        std::wstring wideName;
        for (const char unit : name) {
            if (static_cast<unsigned char>(unit) > 0x7F) {
                return std::nullopt;  // member names are ASCII
            }
            wideName.push_back(static_cast<wchar_t>(unit));
        }
        LPOLESTR names[] = {wideName.data()};
        DISPID member = 0;
        if (FAILED(m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &member))) {
            return std::nullopt;
        }
        // Arguments go in reverse order; the assigned value of a property write comes first and is
        // the one named argument.
        const std::size_t count = arguments.size() + (assigned != nullptr ? 1 : 0);
        std::vector<Variant> variants(count);
        std::size_t slot = 0;
        if (assigned != nullptr && !toVariant(*assigned, *variants[slot++].get())) {
            return std::nullopt;
        }
        for (auto argument = arguments.rbegin(); argument != arguments.rend(); ++argument) {
            if (!toVariant(*argument, *variants[slot++].get())) {
                return std::nullopt;
            }
        }
        std::vector<VARIANT> packed(count);
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(&packed[i], variants[i].get(), sizeof(VARIANT));  // borrowed, cleared by `variants`
        }
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS parameters{};
        parameters.rgvarg = packed.empty() ? nullptr : packed.data();
        parameters.cArgs = static_cast<UINT>(count);
        if (assigned != nullptr) {
            parameters.rgdispidNamedArgs = &putId;
            parameters.cNamedArgs = 1;
        }
        Variant result;
        EXCEPINFO exception{};
        UINT badArgument = 0;
        const HRESULT outcome =
            m_dispatch->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters,
                               assigned != nullptr ? nullptr : result.get(), &exception, &badArgument);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        if (FAILED(outcome)) {
            return std::nullopt;
        }
        return fromVariant(result.value());
    }

    IDispatch* m_dispatch;
};

bool bytesToVariant(const ByteSet& bytes, VARIANT& out) {
    if (bytes.size() > 0xFFFFFFFFu) {
        return false;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (array == nullptr) {
        return false;
    }
    if (!bytes.empty()) {
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array, &data))) {
            SafeArrayDestroy(array);
            return false;
        }
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array);
    }
    out.vt = VT_ARRAY | VT_UI1;
    out.parray = array;
    return true;
}

bool toVariant(const AutomationValue& value, VARIANT& out) {
    const auto& storage = value.storage();
    if (std::holds_alternative<std::monostate>(storage)) {
        out.vt = VT_EMPTY;
    } else if (const auto* flag = std::get_if<bool>(&storage)) {
        out.vt = VT_BOOL;
        out.boolVal = *flag ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (const auto* integer = std::get_if<std::int32_t>(&storage)) {
        out.vt = VT_I4;
        out.lVal = *integer;
    } else if (const auto* number = std::get_if<double>(&storage)) {
        out.vt = VT_R8;
        out.dblVal = *number;
    } else if (const auto* text = std::get_if<std::u16string>(&storage)) {
        if (text->size() > 0x7FFFFFFFu) {
            return false;
        }
        out.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text->data()),
                                        static_cast<UINT>(text->size()));
        if (out.bstrVal == nullptr) {
            return false;
        }
        out.vt = VT_BSTR;
    } else if (const auto* bytes = std::get_if<ByteSet>(&storage)) {
        return bytesToVariant(*bytes, out);
    } else if (const auto* object = std::get_if<AutomationObject>(&storage)) {
        // Only the system's components cross back into the system.
        const auto* component = dynamic_cast<const DispatchComponent*>(object->component());
        if (component == nullptr) {
            return false;
        }
        component->dispatch()->AddRef();
        out.vt = VT_DISPATCH;
        out.pdispVal = component->dispatch();
    } else {
        return false;
    }
    return true;
}

ByteSet bytesFromArray(SAFEARRAY* array) {
    ByteSet bytes;
    LONG lower = 0;
    LONG upper = -1;
    if (array == nullptr || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1 ||
        FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)) ||
        upper < lower) {
        return bytes;
    }
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
        return bytes;
    }
    const auto* first = static_cast<const std::uint8_t*>(data);
    bytes.assign(first, first + (static_cast<std::size_t>(upper) - static_cast<std::size_t>(lower) + 1));
    SafeArrayUnaccessData(array);
    return bytes;
}

AutomationValue fromVariant(const VARIANT& input) {
    Variant direct;
    const VARIANT* value = &input;
    if ((input.vt & VT_BYREF) != 0) {
        if (FAILED(VariantCopyInd(direct.get(), const_cast<VARIANT*>(&input)))) {
            return {};
        }
        value = &direct.value();
    }
    switch (value->vt) {
        case VT_EMPTY:
        case VT_NULL:
            return {};
        case VT_BOOL:
            return AutomationValue(value->boolVal != VARIANT_FALSE);
        case VT_I1:
            return AutomationValue(static_cast<std::int32_t>(value->cVal));
        case VT_UI1:
            return AutomationValue(static_cast<std::int32_t>(value->bVal));
        case VT_I2:
            return AutomationValue(static_cast<std::int32_t>(value->iVal));
        case VT_UI2:
            return AutomationValue(static_cast<std::int32_t>(value->uiVal));
        case VT_I4:
        case VT_INT:
            return AutomationValue(static_cast<std::int32_t>(value->lVal));
        case VT_R8:
            return AutomationValue(value->dblVal);
        case VT_BSTR:
            return value->bstrVal == nullptr
                       ? AutomationValue(std::u16string())
                       : AutomationValue(std::u16string(reinterpret_cast<const char16_t*>(value->bstrVal),
                                                        SysStringLen(value->bstrVal)));
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            IUnknown* unknown = value->vt == VT_DISPATCH ? value->pdispVal : value->punkVal;
            IDispatch* dispatch = nullptr;
            if (unknown == nullptr ||
                FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
                return {};
            }
            return AutomationValue(AutomationObject(std::make_shared<DispatchComponent>(dispatch)));
        }
        case VT_ARRAY | VT_UI1:
        case VT_ARRAY | VT_I1:
            return AutomationValue(bytesFromArray(value->parray));
        default:
            break;
    }
    // Other numbers (unsigned, 64-bit, single, currency, date, decimal) as a double.
    Variant converted;
    if (SUCCEEDED(VariantChangeType(converted.get(), const_cast<VARIANT*>(value), 0, VT_R8))) {
        return AutomationValue(converted.value().dblVal);
    }
    return {};
}

// The system's component registered under `progId`, or null when there is none or it cannot be
// made on this thread (no apartment, not automation-capable).
std::shared_ptr<AutomationComponent> createSystemComponent(const wchar_t* progId) {
    CLSID classId{};
    if (FAILED(CLSIDFromProgID(progId, &classId))) {
        return nullptr;
    }
    IDispatch* dispatch = nullptr;
    if (FAILED(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&dispatch))) ||
        dispatch == nullptr) {
        return nullptr;
    }
    return std::make_shared<DispatchComponent>(dispatch);
}

}  // namespace

std::shared_ptr<AutomationComponent> makeRegexpComponent() {
    return createSystemComponent(L"VBScript.RegExp");
}

std::shared_ptr<AutomationComponent> makeHttpRequestComponent() {
    return createSystemComponent(L"WinHttp.WinHttpRequest.5.1");
}

// The system's HTTP request component has no native side channel for the body: it is read from
// ResponseBody in one piece, and AutomationFetch hands it to the caller's sink that way.
bool setResponseBodySink(const AutomationObject& /*request*/, HttpBodySink /*sink*/) {
    return false;
}

}  // namespace tarlowen
