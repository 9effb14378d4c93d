#include "ks/ks_enum_filters.h"

#include "ks/ks_trace.h"
#include "platform/device_api.h"

namespace {

// Room for the detail header and a path of 520 characters.
constexpr DWORD kDetailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + 520;

// Whether the interface has an enabled alias in every further category.
bool HasEnabledAliases(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, const GUID* categories, ULONG count) {
  for (ULONG i = 1; i < count; ++i) {
    SP_DEVICE_INTERFACE_DATA alias = {};
    alias.cbSize = sizeof alias;
    if (!dev::SetupDiGetDeviceInterfaceAlias(set, &data, &categories[i], &alias)) {
      KsTracePrint(KSTRACE_NOTE, "Failed to get requested DeviceInterfaceAlias");
      return false;
    }
    if (alias.Flags == 0 || (alias.Flags & SPINT_REMOVED)) {
      KsTracePrint(KSTRACE_NOTE, "DeviceInterfaceAlias disabled.");
      return false;
    }
  }
  return true;
}

}  // namespace

CKsEnumFilters::CKsEnumFilters(HRESULT* phr) {
  KsTraceEnter("CKsEnumFilters::CKsEnumFilters()");
  if (phr) *phr = S_OK;
  KsTraceLeaveResult("CKsEnumFilters::CKsEnumFilters", S_OK);
}

CKsEnumFilters::~CKsEnumFilters() {
  KsTraceEnter("CKsEnumFilters::~CKsEnumFilters()");
  HRESULT hr = DestroyLists();
  KsTraceLeaveResult("CKsEnumFilters::~CKsEnumFilters", hr);
}

HRESULT CKsEnumFilters::DestroyLists() {
  KsTraceEnter("CKsEnumFilters::DestroyLists()");
  while (CKsFilter* filter = m_listFilters.RemoveHead()) delete filter;
  KsTraceLeaveResult("CKsEnumFilters::DestroyLists", S_OK);
  return S_OK;
}

HRESULT CKsEnumFilters::EnumFilters(const GUID* aguidCategories, ULONG cCategories) {
  KsTraceEnter("CKsEnumFilters::EnumFilters()");
  HDEVINFO set = INVALID_HANDLE_VALUE;
  HRESULT hr = DestroyLists();
  if (SUCCEEDED(hr) && aguidCategories && cCategories > 0 && !IsEqualGUID(aguidCategories[0], GUID_NULL)) {
    set = dev::SetupDiGetClassDevsA(&aguidCategories[0], nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
      KsTracePrint(KSTRACE_ENUM, "No devices found");
      hr = E_FAIL;
    } else {
      SP_DEVICE_INTERFACE_DATA data = {};
      data.cbSize = sizeof data;
      for (DWORD index = 0; dev::SetupDiEnumDeviceInterfaces(set, nullptr, &aguidCategories[0], index, &data);
           ++index) {
        auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(KsAlloc(kDetailSize));
        if (!detail) {
          KsTracePrint(KSTRACE_ENUM, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure");
          hr = E_OUTOFMEMORY;
          break;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        if (dev::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailSize, nullptr, &device) &&
            HasEnabledAliases(set, data, aguidCategories, cCategories)) {
          HRESULT hrFilter = E_OUTOFMEMORY;
          auto* filter = new CKsAudRenFilter(detail->DevicePath, "", &hrFilter);
          if (filter && SUCCEEDED(hrFilter)) hrFilter = filter->Instantiate();
          if (filter && SUCCEEDED(hrFilter)) hrFilter = filter->EnumeratePins();
          if (!filter || FAILED(hrFilter) || !m_listFilters.AddTail(filter)) {
            delete filter;
            KsTracePrint(KSTRACE_ERROR, "Failed to create filter for %s", detail->DevicePath);
          }
        }
        KsFree(detail);
      }
    }
  }
  if (CKsIrpTarget::IsValidHandle(set)) dev::SetupDiDestroyDeviceInfoList(set);
  if (SUCCEEDED(hr) && m_listFilters.IsEmpty()) hr = E_FAIL;
  KsTraceLeaveResult("CKsEnumFilters::EnumFilters", hr);
  return hr;
}
