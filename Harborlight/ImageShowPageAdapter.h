#pragma once
// The photo page: the main window's view once a phone is bound. A strip lists the bound phones;
// the selected phone's panel shows its name, a status line and a busy sign; below, its photos
// and videos are shown in day groups, from its folder under the backup folder and as they arrive.
// The page opens the phone's folder and a photo, unbinds phones, tells the user when a phone
// unbound itself, and sends the user to the binding page to add a phone.
//
// The grid keeps its thumbnails within a texture budget: tiles far from the part of the grid in
// view, and those of phones not shown, give their textures up first and get them back, the
// tiles in view first, when they are seen again.
//
// Lifetime: one per main window, built with its pages and deleted at its teardown; the page owns
// its phone entries, their containers, the tiles' textures, the boxes and the corner tips.
// Threading: UI thread only: the logic sink's calls, clicks, timers, the scanner's callback and
// the decoder's results all arrive there. Folder walks run on the scanner's threads, thumbnails
// are decoded on the decoder's; textures and elements are made on the UI thread alone.

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "CComSinkPtr.h"
#include "CKwTimerCallback.h"
#include "CLqEventListener.h"
#include "CLqEventListenerHelper.h"
#include "IPageHost.h"
#include "Lq/LqInterfaces.h"
#include "Orbalyn/Interface/IOrbalyn.h"
#include "Pictor/Pictor.h"

class CFolderScanner;
class CThumbDecoder;
class CTrayTipsBase;
class CUnBindMsgBox;
struct ScanDevice;

class CImageShowPageAdapter {
 public:
  // Most bytes of thumbnails kept at once.
  static constexpr uint64_t kTextureBudgetBytes = 64 * 1024 * 1024;

  CImageShowPageAdapter();
  CImageShowPageAdapter(const CImageShowPageAdapter&) = delete;
  CImageShowPageAdapter& operator=(const CImageShowPageAdapter&) = delete;
  virtual ~CImageShowPageAdapter();

  // --- The main window's and the logic sink's calls ---
  // Looks the page's elements up under `pPageRoot`, hooks their events, hides the phone strip
  // and keeps the host.
  void Init(ILqElement* pPageRoot, IPageHost* pHost);
  // 1 hides the page, 0 shows it.
  void Show(int hidden);
  // connected 0 asks the device store whether the phone is still reachable.
  void OnDeviceState(int64_t id, int connected);
  void OnBackupProgress(int64_t id, int busy, int count);
  // A file was stored under `pPath` for the phone.
  void AddPhoto(int64_t id, const win32::WCHAR* pPath);
  // The phone known as `oldId` is `newId` from now on.
  void ChangeDeviceId(int64_t newId, int64_t oldId);
  // Lists the bound phones; select 1 selects the phone `id`.
  void RefreshPhoneList(int select, int64_t id);
  // The phone unbound itself: a box over the main window when it is in front, else a tip.
  void OnUnbindNotice(int64_t id, int mainWindowInFront);
  // Closes the boxes and tips still showing and stops the tile maker.
  void ClosePopups();
  // The scanner's call-back, on the UI thread.
  virtual void OnScanDone(int64_t id);

  // A w x h texture of the centre of the picture at `path`, scaled to cover (a picture that does
  // not decode gives the default picture); null when none can be made. Decodes on this thread.
  static Pictor::HTEXTURE MakeThumbnail(const std::u16string& path, int w, int h);
  // year * 10000 + month * 100 + day of a "%d年%d月%d日" title, else 0.
  static int ParseDateTitle(const std::u16string& text);

  // 1 while the status line shows a backup in progress.
  int IsBusyShown() const { return m_busyShown; }
  // Entries in the phone list.
  int GetPhoneCount() const { return static_cast<int>(m_phones.size()); }

  // Thumbnail bytes the page holds now, and the tiles still to be made or given a thumbnail.
  uint64_t TextureBytesForTesting() const { return m_textureBytes; }
  void SetTextureBudgetForTesting(uint64_t bytes) { m_textureBudget = bytes; }
  size_t PendingCountForTesting() const { return m_pending.size(); }
  // Thumbnails asked of the decoder and not yet shown or dropped, of this page and of all.
  size_t DecodesInFlight() const { return m_decodes.size(); }
  static size_t AllDecodesInFlight() { return s_decodesInFlight; }
  // The most bytes the decodes running at once were reckoned to hold.
  uint64_t PeakDecodeBytesForTesting() const;
  // Decodes every thumbnail on the UI thread, as a baseline to measure the decoder against.
  void SetDecodeOnUiThreadForTesting(bool on) { m_decodeOnUiThread = on; }
  // How long one slice of a container's build may place days (one day at least).
  void SetBuildSliceForTesting(std::chrono::microseconds slice) { m_buildSlice = slice; }
  // Containers still being built.
  size_t BuildingCountForTesting() const;

 private:
  class CUnbindTip;

  static constexpr win32::UINT kTileTimer = 6;
  static constexpr win32::UINT kBusyTimer = 7;
  static constexpr win32::UINT kBatchDoneTimer = 8;
  static constexpr win32::UINT kTipReapTimer = 9;
  static constexpr win32::UINT kBuildTimer = 10;

  // A day group of a phone's container; not held: the container holds it.
  struct DayGroup {
    int dayKey = 0;
    ILqElement* pGroup = nullptr;
  };

  struct PhoneEntry {
    int64_t deviceId = 0;
    std::u16string name;
    ILqElement* pStripItem = nullptr;  // one reference
    ILqElement* pContainer = nullptr;  // one reference, or null until first shown
    int selected = 0;
    int done = 0;
    int backingUp = 0;
    int online = 0;
    int count = 0;
    // Photos that arrived while the container could not take them (not built, or the walk not
    // ended); merged by path into the index when it is built.
    std::vector<std::u16string> arrivals;
    // The container's day groups, newest first, which is also the order of their tops: an
    // arrival finds its day and the viewport its groups without walking the container.
    std::vector<DayGroup> groups;
    // While the container is built in slices: the next day of the index to place (its month,
    // its day in the month) and the height placed so far. Arrivals wait in `arrivals` meanwhile.
    bool building = false;
    size_t buildMonth = 0;
    size_t buildDay = 0;
    int builtHeight = 0;
  };

  // A tile still to be made from the index, or (pTile set) a made tile still to get its
  // thumbnail.
  struct PendingThumb {
    ILqElement* pGroup = nullptr;  // one reference
    std::u16string path;
    win32::RECT rect{};
    int64_t deviceId = 0;
    int32_t dayKey = 0;
    ILqElement* pTile = nullptr;  // one reference, or null
  };

  struct DeviceTextures;

  // A made tile showing a thumbnail (videos show a placeholder and have none).
  struct ThumbTile {
    DeviceTextures* pOwner = nullptr;  // the list it is in
    ILqElement* pGroup = nullptr;  // one reference
    ILqElement* pTile = nullptr;   // one reference
    ILqElement* pImage = nullptr;  // its "userImg"; one reference
    std::u16string path;
    int width = 0;
    int height = 0;
    Pictor::HTEXTURE texture = nullptr;  // the page's reference; null while it has none
    bool queued = false;                 // a PendingThumb waits to give it one
    uint64_t ticket = 0;                 // its thumbnail's decode while one runs, else 0
  };

  struct DeviceTextures {
    int64_t deviceId = 0;
    std::vector<std::unique_ptr<ThumbTile>> tiles;
    size_t textureless = 0;  // tiles without a texture now
  };

  // A group of the current container that lies (partly) in view, and its top.
  struct VisibleGroup {
    ILqElement* pGroup;  // not held: the container holds it
    int top;
  };
  // The part of the current container in view, in its coordinates, and its groups there.
  struct Viewport {
    int top = 0;
    int bottom = 0;
    std::vector<VisibleGroup> groups;
  };

  // --- The page ---
  PhoneEntry* FindEntry(int64_t id);
  PhoneEntry* FindEntryByName(const std::u16string& name);
  void SelectPhone(const std::u16string& name);
  void SetPhoneSelected(PhoneEntry* pEntry, int on);
  void ShowStatus(PhoneEntry* pEntry);
  void ShowBackupState(PhoneEntry* pEntry, bool busy, int count);
  void ShowBusy(int on);
  void OnClick(ILqElement* pElement);
  void UnbindPhone(const std::u16string& name);
  // Takes an entry off the strip and out of the grid, its textures and pending tiles with it.
  void RemoveEntry(int64_t id);
  void OpenBackupFolder();
  void CollapseStrip();
  std::u16string LastBackupText(const std::u16string& name);
  void WriteLastBackupTime(const std::u16string& name);
  IOrbalynDB* DeviceStore();
  std::u16string WorkDir();
  win32::HWND OwnerWindow();
  void OnTipClosed(CUnbindTip* pTip);

  win32::HRESULT OnTimer(win32::UINT timerId);
  win32::HRESULT OnExpandClick(ILqEvent* pEvent);
  win32::HRESULT OnPackClick(ILqEvent* pEvent);
  win32::HRESULT OnOpenDirClick(ILqEvent* pEvent);
  win32::HRESULT OnAddDeviceClick(ILqEvent* pEvent);
  win32::HRESULT OnElementClick(win32::UINT eventId, ILqElement* pElement, ILqEvent* pEvent);

  // --- The grid ---
  // Where the picture shown for a photo that does not decode lies.
  static std::u16string DefaultPicturePath();
  void ShowPhonePhotos();
  // Makes the phone's container and places its newest days; the rest follow in slices.
  void BuildContainer(PhoneEntry* pEntry, ScanDevice* pRecord);
  // Places days of the index until the slice's time is up; true when the container is done.
  bool BuildSlice(PhoneEntry* pEntry);
  // A slice for the phones still being built (the one shown first), then the next one's timer.
  void OnBuildTick();
  // Places the arrivals that waited for the container.
  void PlaceWaitingArrivals(PhoneEntry* pEntry);
  void MergeArrivals(PhoneEntry* pEntry, ScanDevice* pRecord);
  void PrioritizePending(int64_t id);
  void AddPending(PendingThumb pending);
  // Takes `it` out of the per-group index; the caller erases it from the list.
  void UnindexPending(std::list<PendingThumb>::iterator it);
  // The phone's day group of `dayKey`, or where it would go.
  static std::vector<DayGroup>::iterator FindGroup(PhoneEntry* pEntry, int dayKey);
  void FreeTextures(int64_t id);
  win32::RECT GetThumbnailRect(int64_t id, int dayKey, const std::u16string& path);
  // Makes one tile of the pending list (or gives a made one its thumbnail).
  void MakePendingTile(PendingThumb& pending, bool inView);
  // Asks the decoder for the tile's thumbnail (an `urgent` one before the backlog), unless it
  // has one or one is being made.
  void RequestThumbnail(ThumbTile* pThumb, bool urgent);
  // Shows the texture (the page takes the caller's reference) on the tile.
  void AttachTexture(ThumbTile* pThumb, Pictor::HTEXTURE texture);
  // The decoder's results: textures for the tiles still waiting for them, then the tile maker.
  void OnDecodesReady();
  // Forgets the tile's decode: its result will be dropped.
  void ForgetDecode(ThumbTile* pThumb);
  // Drops the decodes of every phone but `id`'s.
  void DropDecodesExcept(int64_t id);
  // Whether a thumbnail of that size fits the budget beside those held and those being made.
  bool BudgetHasRoom(int width, int height) const;
  // Makes a "PHOTO" tile in the group; a photo's thumbnail is made now when the tile is in view
  // or the budget has room, else when it is seen (or, with `queue`, by timer 6). Answers the
  // tile (held by the group), or null.
  ILqElement* MakeTile(ILqElement* pGroup, const std::u16string& path, const win32::RECT& rect,
                       int64_t id, int dayKey, int thumbSize, bool inView, bool queue);
  int AddPhotoToGroup(PhoneEntry* pEntry, ILqElement* pGroup, const std::u16string& path,
                      int dayKey);
  void AddDateGroup(const std::u16string& title, const std::u16string& path, PhoneEntry* pEntry,
                    int dayKey);
  // Places an arrival in its phone's container.
  void PlaceArrival(PhoneEntry* pEntry, const std::u16string& path, int dayKey, int32_t time);
  void OnTileMakerTick();
  // (Re)starts timer 6 at the pace the grid needs now, or stops it when nothing is left to do;
  // after a tick that `overran` its budget, it first pauses briefly from now.
  void ScheduleTileMaker(bool overran = false);
  Viewport CurrentViewport();
  // Whether a tile of the current container at `rect` of `pGroup` lies in view.
  static bool InView(const Viewport& view, ILqElement* pGroup, const win32::RECT& rect);
  // Tiles in view still to be made, or without a thumbnail and none being made.
  bool HasMissingTilesInView(const Viewport& view);
  void DropTexture(ThumbTile* pThumb);
  // Gives textures up, far tiles and hidden phones' first, until the budget holds again.
  void EnforceBudget();
  ThumbTile* FindThumb(ILqElement* pTile);
  DeviceTextures& TexturesOf(int64_t id);
  PhoneEntry* CurrentEntry();
  win32::HRESULT OnTileEvent(win32::UINT eventId, ILqElement* pElement, ILqEvent* pEvent);

  // Set in Init, then constant: the page's elements (one reference each, or null)
  ILqElement* m_pRoot = nullptr;
  ILqElement* m_pPhotoScrollView = nullptr;
  ILqElement* m_pExpandBtn = nullptr;
  ILqElement* m_pPackBtn = nullptr;
  ILqElement* m_pRightPackupFrame = nullptr;
  ILqElement* m_pPhoneName = nullptr;
  ILqElement* m_pStatusText = nullptr;
  ILqElement* m_pOpenDirPath = nullptr;
  ILqElement* m_pCurrentPhoneUi = nullptr;
  ILqElement* m_pLoadingAniImg = nullptr;
  ILqElement* m_pTopPackupFrame = nullptr;
  ILqElement* m_pStrip = nullptr;
  ILqElement* m_pAddDeviceBtn = nullptr;
  ILqElement* m_pLoading = nullptr;

  std::u16string m_currentPhone;
  ILqElement* m_pCurrentContainer = nullptr;  // one reference, or null
  std::vector<std::unique_ptr<PhoneEntry>> m_phones;
  std::list<PendingThumb> m_pending;
  // The pending list by group, so that what is in view is found without walking all of it.
  std::unordered_map<ILqElement*, std::vector<std::list<PendingThumb>::iterator>>
      m_pendingByGroup;
  std::list<DeviceTextures> m_textures;  // a list: tiles point at their phone's entry
  IPageHost* m_pHost = nullptr;  // not owned
  CUnBindMsgBox* m_pUnbindBox = nullptr;  // one reference, or null
  int m_unbindBoxShowing = 0;
  CUnBindMsgBox* m_pNoticeBox = nullptr;  // one reference, or null
  int m_noticeShowing = 0;
  int m_selectFirst = 1;
  int m_busyShown = 0;

  // The grid's own bookkeeping
  std::unordered_map<ILqElement*, ThumbTile*> m_thumbByTile;  // tiles with a thumbnail
  uint64_t m_textureBytes = 0;
  std::unique_ptr<CThumbDecoder> m_pDecoder;
  std::unordered_map<uint64_t, ThumbTile*> m_decodes;  // by ticket: decodes not yet back
  uint64_t m_lastTicket = 0;
  uint64_t m_decodingBytes = 0;  // the textures the decodes in m_decodes will make
  bool m_decodeOnUiThread = false;
  std::chrono::microseconds m_buildSlice{10000};
  static inline size_t s_decodesInFlight = 0;  // of every page
  uint64_t m_textureBudget = kTextureBudgetBytes;
  win32::DWORD m_tileTimerInterval = 0;  // 0 while timer 6 is stopped
  std::vector<std::unique_ptr<CUnbindTip>> m_tips;
  CFolderScanner* m_pScanner = nullptr;  // the process's; not owned

  CComSinkPtr<CKwTimerCallback<CImageShowPageAdapter>> m_timerSink;
  // Every tile's click goes through this one sink, kept apart from the helper so that tens of
  // thousands of tiles cost no registry entries.
  CComSinkPtr<CLqEventListener<CImageShowPageAdapter>> m_tileSink;
  CLqEventListenerHelper<CImageShowPageAdapter> m_listener;
};
