#pragma once
// The firewall manager: the subset of the authorised-applications interfaces that the install
// and uninstall reports use. Desktop firewalls here do not block outgoing connections and
// changing them would need root, so the layer's own manager (registered at load) only records
// each profile's authorised programs in the registry:
//   HKLM\Software\Lumidock\FirewallStandIn\<Domain|Standard>\AuthorizedApplications
//     value name = program path, data = display name (REG_SZ)
//   HKLM\Software\Lumidock\FirewallStandIn\<Domain|Standard>\History
//     values "1", "2", ... = "add <path>" / "remove <path>" in call order
// The current profile is the standard one (this machine is in no domain).

#include "win32/oleauto.h"

namespace win32 {

enum NET_FW_PROFILE_TYPE {
  NET_FW_PROFILE_DOMAIN = 0,
  NET_FW_PROFILE_STANDARD = 1,
  NET_FW_PROFILE_CURRENT = 2,
  NET_FW_PROFILE_TYPE_MAX = 3,
};

// {304CE942-6E39-40D8-943A-B913C40C9CD4}
inline constexpr CLSID CLSID_NetFwMgr = {
    0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
// {EC9846B3-2762-4A6B-A214-6ACB603462D2}
inline constexpr CLSID CLSID_NetFwAuthorizedApplication = {
    0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
// {F7898AF5-CAC4-4632-A2EC-DA06E5111AF2}
inline constexpr IID IID_INetFwMgr = {
    0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
// {B5E64FFA-C2C5-444E-A301-FB5E00018050}
inline constexpr IID IID_INetFwAuthorizedApplication = {
    0xB5E64FFA, 0xC2C5, 0x444E, {0xA3, 0x01, 0xFB, 0x5E, 0x00, 0x01, 0x80, 0x50}};
// Ids of our own for the interfaces that are only ever reached through the two above.
// {6C3D1C8E-2B57-4E0F-9A51-0F4E8B2D7A10}
inline constexpr IID IID_INetFwPolicy = {
    0x6C3D1C8E, 0x2B57, 0x4E0F, {0x9A, 0x51, 0x0F, 0x4E, 0x8B, 0x2D, 0x7A, 0x10}};
// {6C3D1C8E-2B57-4E0F-9A51-0F4E8B2D7A11}
inline constexpr IID IID_INetFwProfile = {
    0x6C3D1C8E, 0x2B57, 0x4E0F, {0x9A, 0x51, 0x0F, 0x4E, 0x8B, 0x2D, 0x7A, 0x11}};
// {6C3D1C8E-2B57-4E0F-9A51-0F4E8B2D7A12}
inline constexpr IID IID_INetFwAuthorizedApplications = {
    0x6C3D1C8E, 0x2B57, 0x4E0F, {0x9A, 0x51, 0x0F, 0x4E, 0x8B, 0x2D, 0x7A, 0x12}};

struct INetFwAuthorizedApplication : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Name(BSTR name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ProcessImageFileName(BSTR* imageFileName) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR imageFileName) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) = 0;
};

struct INetFwAuthorizedApplications : IUnknown {
  // Adding a path that is already listed replaces its entry.
  virtual HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* app) = 0;
  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when the path is not listed.
  virtual HRESULT STDMETHODCALLTYPE Remove(BSTR imageFileName) = 0;
  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) and a null *app when the path is not listed.
  virtual HRESULT STDMETHODCALLTYPE Item(BSTR imageFileName, INetFwAuthorizedApplication** app) = 0;
};

struct INetFwProfile : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE
  get_AuthorizedApplications(INetFwAuthorizedApplications** apps) = 0;
};

struct INetFwPolicy : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE profileType,
                                                     INetFwProfile** profile) = 0;
};

struct INetFwMgr : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** localPolicy) = 0;
};

}  // namespace win32
