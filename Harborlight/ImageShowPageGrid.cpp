// The photo page's grid: a phone's photos and videos in day groups of 120 x 120 tiles, built from
// the folder scanner's index, filled by timer 6, grown by arrivals, and its thumbnails.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

#include "BackupFolder.h"
#include "Basalt/CKwStringW.h"
#include "Basalt/KwTimer.h"
#include "FolderScanner.h"
#include "ImageShowPageAdapter.h"
#include "Lq/Lq.h"
#include "PageElements.h"
#include "ResourcePath.h"
#include "ThumbDecoder.h"
#include "win32/file.h"
#include "win32/oleauto.h"
#include "win32/time.h"

using namespace win32;
using namespace page_elements;

namespace {

constexpr int kContainerWidth = 740;
constexpr int kTitleWidth = 730;
constexpr int kTitleHeight = 30;
constexpr int kTileSize = 120;
constexpr int kArrivalGroupTileSize = 118;
constexpr int kTileStep = 122;
constexpr int kLastColumnFrom = 551;  // a tile left of this has a place to its right
constexpr int kTileMaxWidth = 300;    // children this narrow are tiles, not the title bar
constexpr int kNewGroupHeight = 152;
constexpr int kNewGroupGap = 4;
constexpr int kScrollFromHeight = 330;
constexpr size_t kPrioritizeFrom = 10;
constexpr size_t kTilesPerSlowTick = 2;
// The usual pace (two tiles a tick), and the quicker one while tiles in view are missing: a tick
// works at most 12 ms of every 15, so the UI thread stays free to draw and to answer.
constexpr DWORD kTilePaceMs = 200;
constexpr DWORD kViewPaceMs = 15;
constexpr auto kViewTickBudget = std::chrono::milliseconds(12);
constexpr DWORD kCatchUpMs = 4;
// Once over the budget, textures are given up until this share of it is left, so the next few
// thumbnails in view do not each start another round.
constexpr uint64_t kBudgetRefillPercent = 90;

constexpr WCHAR kPhotoLayout[] = u"platformskein:Harborlight.xml|PHOTO";
constexpr WCHAR kTitleLayout[] = u"platformskein:Harborlight.xml|photogroup_title";
constexpr WCHAR kVideoPicture[] = u"platformres:image\\default_video.png";
constexpr WCHAR kDefaultPicture[] = u"platformres:image\\default.png";
constexpr WCHAR kDateFormat[] = u"%d年%d月%d日";
constexpr WCHAR kIndexCountFormat[] = u"%d 张";
constexpr WCHAR kArrivalCountFormat[] = u"%d张";
constexpr WCHAR kFirstArrivalCount[] = u"1张";

ILqElement* NewContainer() {
  ILqElement* pContainer = nullptr;
  if (FAILED(Util::Lq::CreateObject(CLSID_LqContainer, IID_ILqContainer,
                                    reinterpret_cast<void**>(&pContainer)))) {
    return nullptr;
  }
  return pContainer;
}

// A day's group: a container named by its date title, with the title bar showing the title and
// the count. The caller gets its one reference.
ILqElement* NewDayGroup(const std::u16string& title, const WCHAR* pCountText) {
  ILqElement* pGroup = NewContainer();
  if (!pGroup) return nullptr;
  ILqElement* pTitleBar = nullptr;
  Util::Lq::RawCreateLqElementBySkein(kTitleLayout, &pTitleBar, pGroup, nullptr, 0);
  if (pTitleBar) {
    RECT bar{0, 0, kTitleWidth, kTitleHeight};
    pTitleBar->SetRect(&bar);
    if (ILqElement* pTime = FindIn(pTitleBar, u"timeText")) {
      pTime->SetText(title.c_str());
      pTime->Release();
    }
    if (ILqElement* pCount = FindIn(pTitleBar, u"countText")) {
      pCount->SetText(pCountText);
      pCount->Release();
    }
    pTitleBar->Release();
  }
  pGroup->SetName(title.c_str());
  return pGroup;
}

std::u16string DateTitle(int dayKey) {
  CKwStringW title;
  title.Format(kDateFormat, dayKey / 10000, dayKey / 100 % 100, dayKey % 100);
  return title.Text();
}

// Videos (and GIF pictures) show a placeholder instead of a thumbnail.
bool IsVideo(const std::u16string& path) {
  static constexpr std::u16string_view kEndings[] = {u"gif", u"avi", u"mvb", u"asf",
                                                     u".rm", u"ivx", u"wmv", u"mp4",
                                                     u"mkv", u"vob", u"3gp"};
  if (path.size() < 3) return false;
  std::u16string ending = path.substr(path.size() - 3);
  for (char16_t& c : ending) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return std::find(std::begin(kEndings), std::end(kEndings), ending) != std::end(kEndings);
}

// The photo's day and its milliseconds since local midnight, from its last write.
bool LocalDayOf(const FILETIME& lastWrite, int* pDayKey, int32_t* pTime) {
  FILETIME local;
  SYSTEMTIME time{};
  if (!FileTimeToLocalFileTime(&lastWrite, &local) || !FileTimeToSystemTime(&local, &time)) {
    return false;
  }
  *pDayKey = time.wYear * 10000 + time.wMonth * 100 + time.wDay;
  *pTime = ((time.wHour * 3600 + time.wMinute * 60 + time.wSecond) * 1000) + time.wMilliseconds;
  return true;
}

// The day and time of the file's last write; false when it is gone.
bool FileDayOf(const std::u16string& path, int* pDayKey, int32_t* pTime) {
  WIN32_FIND_DATAW data;
  HANDLE hFind = FindFirstFileW(path.c_str(), &data);
  if (hFind == INVALID_HANDLE_VALUE) return false;
  FindClose(hFind);
  return LocalDayOf(data.ftLastWriteTime, pDayKey, pTime);
}

const ScanDay* FindDay(const ScanDevice* pRecord, int dayKey) {
  const int monthKey = (dayKey / 100) % 1000000;
  for (const ScanMonth& month : pRecord->months) {
    if (month.monthKey != monthKey) continue;
    for (const ScanDay& day : month.days) {
      if (day.dayKey == dayKey) return &day;
    }
  }
  return nullptr;
}

uint64_t TextureBytes(int width, int height) { return uint64_t{4} * width * height; }

}  // namespace

std::u16string CImageShowPageAdapter::DefaultPicturePath() {
  return lq::ResolvePicturePath(kDefaultPicture);
}

Pictor::HTEXTURE CImageShowPageAdapter::MakeThumbnail(const std::u16string& path, int w, int h) {
  const Pictor::PixelBuffer pixels =
      CThumbDecoder::DecodeThumbnail(path, DefaultPicturePath(), w, h);
  Pictor::HTEXTURE texture = Pictor::TextureFromPixels(pixels);
  if (texture) Pictor::SetTextureFilter(texture, Pictor::kGoodFilter);
  return texture;
}

int CImageShowPageAdapter::ParseDateTitle(const std::u16string& text) {
  const size_t year = text.rfind(u'年');
  const size_t month = text.rfind(u'月');
  const size_t day = text.rfind(u'日');
  if (year == std::u16string::npos || month == std::u16string::npos ||
      day == std::u16string::npos || year == 0 || month == 0 || day == 0 || month < year ||
      day < month) {
    return 0;
  }
  auto number = [&text](size_t from, size_t to) {
    int value = 0;
    for (size_t i = from; i < to; ++i) {
      if (text[i] < u'0' || text[i] > u'9') return -1;
      value = value * 10 + (text[i] - u'0');
      if (value > 100000) return -1;
    }
    return from < to ? value : -1;
  };
  const int y = number(year >= 4 ? year - 4 : 0, year);
  const int m = number(year + 1, month);
  const int d = number(month + 1, day);
  if (y < 0 || m < 0 || d < 0) return 0;
  return y * 10000 + m * 100 + d;
}

void CImageShowPageAdapter::ShowPhonePhotos() {
  const std::u16string workDir = WorkDir();
  PhoneEntry* pEntry = CurrentEntry();
  if (!pEntry) return;
  ScanDevice* pRecord = nullptr;
  switch (m_pScanner->FindDevice(pEntry->deviceId, &pRecord)) {
    case CFolderScanner::kScanning:
      SetHidden(m_pLoading, false);
      return;
    case CFolderScanner::kNeverScanned: {
      SetHidden(m_pLoading, false);
      // The folder the upload assistant writes to; none (empty) is walked as an empty folder.
      m_pScanner->StartScan(pEntry->deviceId, backup_folder::PhoneFolder(workDir, pEntry->name));
      return;
    }
    default:
      break;
  }
  SetHidden(m_pLoading, true);
  SetHidden(m_pCurrentContainer, true);
  if (pEntry->pContainer) {
    Release(m_pCurrentContainer);
    m_pCurrentContainer = pEntry->pContainer;
    m_pCurrentContainer->AddRef();
    SetHidden(m_pCurrentContainer, false);
    RECT rect = RectOf(m_pCurrentContainer);
    EnableScroll(m_pPhotoScrollView, true, rect.bottom - rect.top > kScrollFromHeight);
    ScheduleTileMaker();
    return;
  }
  BuildContainer(pEntry, pRecord);
}

void CImageShowPageAdapter::BuildContainer(PhoneEntry* pEntry, ScanDevice* pRecord) {
  MergeArrivals(pEntry, pRecord);
  ILqElement* pContainer = NewContainer();
  if (!pContainer || !m_pPhotoScrollView) {
    if (pContainer) pContainer->Release();
    return;
  }
  m_pPhotoScrollView->AddChild(pContainer);
  pEntry->pContainer = pContainer;
  Release(m_pCurrentContainer);
  m_pCurrentContainer = pContainer;
  m_pCurrentContainer->AddRef();
  pEntry->groups.clear();
  pEntry->building = true;
  pEntry->buildMonth = 0;
  pEntry->buildDay = 0;
  pEntry->builtHeight = 0;
  // The newest days show at once; a large history is placed in slices, so the window answers
  // while the older days follow.
  if (!BuildSlice(pEntry)) {
    KwTimer::SetInterval(kCatchUpMs, m_timerSink.GetInterface<IKwTimerCallback>(), kBuildTimer);
  }
}

bool CImageShowPageAdapter::BuildSlice(PhoneEntry* pEntry) {
  ScanDevice* pRecord = nullptr;
  const bool indexed =
      m_pScanner->FindDevice(pEntry->deviceId, &pRecord) == CFolderScanner::kComplete;
  const auto deadline = std::chrono::steady_clock::now() + m_buildSlice;
  bool first = true;
  while (indexed && pEntry->buildMonth < pRecord->months.size()) {
    const ScanMonth& month = pRecord->months[pEntry->buildMonth];
    if (pEntry->buildDay >= month.days.size()) {
      ++pEntry->buildMonth;
      pEntry->buildDay = 0;
      continue;
    }
    if (!first && std::chrono::steady_clock::now() >= deadline) break;
    first = false;
    const ScanDay& day = month.days[pEntry->buildDay++];
    CKwStringW count;
    count.Format(kIndexCountFormat, static_cast<int>(day.photos.size()));
    ILqElement* pGroup = NewDayGroup(DateTitle(day.dayKey), count);
    if (!pGroup) continue;
    int x = 0;
    int y = kTitleHeight;
    for (const ScanPhoto& photo : day.photos) {
      PendingThumb pending;
      pending.pGroup = pGroup;
      pGroup->AddRef();
      pending.path = photo.path;
      pending.rect = RECT{x, y, x + kTileSize, y + kTileSize};
      pending.deviceId = pEntry->deviceId;
      pending.dayKey = day.dayKey;
      AddPending(std::move(pending));
      if (x < kLastColumnFrom) {
        x += kTileStep;
      } else {
        x = 0;
        y += kTileStep;
      }
    }
    if (x > 0) y += kTileStep;
    const int top = pEntry->builtHeight;
    RECT groupRect{0, top, kContainerWidth, top + y};
    pGroup->SetRect(&groupRect);
    pEntry->pContainer->AddChild(pGroup);
    pEntry->groups.push_back(DayGroup{day.dayKey, pGroup});
    pGroup->Release();
    pEntry->builtHeight = top + y;
  }
  const bool done = !indexed || pEntry->buildMonth >= pRecord->months.size();
  RECT containerRect{0, 0, kContainerWidth, pEntry->builtHeight};
  pEntry->pContainer->SetRect(&containerRect);
  pEntry->pContainer->Refresh();
  if (pEntry->pContainer == m_pCurrentContainer) {
    EnableScroll(m_pPhotoScrollView, true, pEntry->builtHeight > kScrollFromHeight);
  }
  if (done) {
    pEntry->building = false;
    PlaceWaitingArrivals(pEntry);
  }
  ScheduleTileMaker();
  return done;
}

void CImageShowPageAdapter::OnBuildTick() {
  PhoneEntry* pCurrent = CurrentEntry();
  PhoneEntry* pNext = pCurrent && pCurrent->building ? pCurrent : nullptr;
  for (size_t i = 0; !pNext && i < m_phones.size(); ++i) {
    if (m_phones[i]->building) pNext = m_phones[i].get();
  }
  if (pNext) BuildSlice(pNext);
  const bool more = std::any_of(m_phones.begin(), m_phones.end(),
                                [](const std::unique_ptr<PhoneEntry>& p) { return p->building; });
  if (!more) KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), kBuildTimer);
}

size_t CImageShowPageAdapter::BuildingCountForTesting() const {
  return static_cast<size_t>(std::count_if(
      m_phones.begin(), m_phones.end(),
      [](const std::unique_ptr<PhoneEntry>& p) { return p->building; }));
}

void CImageShowPageAdapter::PlaceWaitingArrivals(PhoneEntry* pEntry) {
  std::vector<std::u16string> waiting;
  waiting.swap(pEntry->arrivals);
  for (const std::u16string& path : waiting) {
    int dayKey = 0;
    int32_t time = 0;
    if (FileDayOf(path, &dayKey, &time)) PlaceArrival(pEntry, path, dayKey, time);
  }
}

void CImageShowPageAdapter::MergeArrivals(PhoneEntry* pEntry, ScanDevice* pRecord) {
  if (pEntry->arrivals.empty()) return;
  std::unordered_set<std::u16string> known;
  for (const ScanMonth& month : pRecord->months) {
    for (const ScanDay& day : month.days) {
      for (const ScanPhoto& photo : day.photos) known.insert(photo.path);
    }
  }
  bool added = false;
  for (const std::u16string& path : pEntry->arrivals) {
    if (!known.insert(path).second) continue;  // the walk found it too
    int dayKey = 0;
    int32_t time = 0;
    if (!FileDayOf(path, &dayKey, &time)) continue;
    CFolderScanner::InsertPhoto(dayKey, path, pRecord, time);
    added = true;
  }
  pEntry->arrivals.clear();
  if (added) CFolderScanner::FinishRecord(pRecord);
}

void CImageShowPageAdapter::PrioritizePending(int64_t id) {
  if (m_pending.size() < kPrioritizeFrom) return;
  auto first = std::find_if(m_pending.begin(), m_pending.end(),
                            [id](const PendingThumb& p) { return p.deviceId == id; });
  if (first == m_pending.end() || first == m_pending.begin()) return;
  auto last = std::find_if(first, m_pending.end(),
                           [id](const PendingThumb& p) { return p.deviceId != id; });
  m_pending.splice(m_pending.begin(), m_pending, first, last);
}

void CImageShowPageAdapter::AddPending(PendingThumb pending) {
  ILqElement* pGroup = pending.pGroup;
  m_pending.push_back(std::move(pending));
  m_pendingByGroup[pGroup].push_back(std::prev(m_pending.end()));
}

void CImageShowPageAdapter::UnindexPending(std::list<PendingThumb>::iterator it) {
  auto found = m_pendingByGroup.find(it->pGroup);
  if (found == m_pendingByGroup.end()) return;
  std::erase(found->second, it);
  if (found->second.empty()) m_pendingByGroup.erase(found);
}

std::vector<CImageShowPageAdapter::DayGroup>::iterator CImageShowPageAdapter::FindGroup(
    PhoneEntry* pEntry, int dayKey) {
  return std::lower_bound(pEntry->groups.begin(), pEntry->groups.end(), dayKey,
                          [](const DayGroup& group, int key) { return group.dayKey > key; });
}

void CImageShowPageAdapter::FreeTextures(int64_t id) {
  auto it = std::find_if(m_textures.begin(), m_textures.end(),
                         [id](const DeviceTextures& t) { return t.deviceId == id; });
  if (it != m_textures.end()) {
    for (std::unique_ptr<ThumbTile>& pThumb : it->tiles) {
      ForgetDecode(pThumb.get());
      if (pThumb->texture) {
        m_textureBytes -= TextureBytes(pThumb->width, pThumb->height);
        Pictor::DeleteTexture(pThumb->texture);
      }
      m_thumbByTile.erase(pThumb->pTile);
      pThumb->pImage->Release();
      pThumb->pTile->Release();
      pThumb->pGroup->Release();
    }
    m_textures.erase(it);
  }
  if (m_pDecoder) m_pDecoder->DropDevice(id);
  // Tiles of a phone that is gone are not made any more.
  std::erase_if(m_pending, [this, id](PendingThumb& pending) {
    if (pending.deviceId != id) return false;
    m_pendingByGroup.erase(pending.pGroup);  // a group's tiles are all of one phone
    pending.pGroup->Release();
    if (pending.pTile) pending.pTile->Release();
    return true;
  });
}

RECT CImageShowPageAdapter::GetThumbnailRect(int64_t id, int dayKey, const std::u16string& path) {
  int n = 0;
  ScanDevice* pRecord = nullptr;
  if (m_pScanner->FindDevice(id, &pRecord) == CFolderScanner::kComplete) {
    if (const ScanDay* pDay = FindDay(pRecord, dayKey)) {
      for (size_t i = 0; i < pDay->photos.size(); ++i) {
        if (pDay->photos[i].path == path) {
          n = static_cast<int>(i);
          break;
        }
      }
    }
  }
  const int left = (n % 6) * kTileStep;
  const int top = kTitleHeight + (n / 6) * kTileStep;
  return RECT{left, top, left + kTileSize, top + kTileSize};
}

void CImageShowPageAdapter::MakePendingTile(PendingThumb& pending, bool inView) {
  if (pending.pTile) {
    ThumbTile* pThumb = FindThumb(pending.pTile);
    if (pThumb) {
      pThumb->queued = false;
      if (inView || BudgetHasRoom(pThumb->width, pThumb->height)) {
        RequestThumbnail(pThumb, inView);
      }
    }
    return;
  }
  RECT rect = GetThumbnailRect(pending.deviceId, pending.dayKey, pending.path);
  MakeTile(pending.pGroup, pending.path, rect, pending.deviceId, pending.dayKey, kTileSize, inView,
           false);
}

void CImageShowPageAdapter::RequestThumbnail(ThumbTile* pThumb, bool urgent) {
  if (pThumb->texture || pThumb->ticket) return;
  if (m_decodeOnUiThread || !m_pDecoder) {
    if (Pictor::HTEXTURE texture = MakeThumbnail(pThumb->path, pThumb->width, pThumb->height)) {
      AttachTexture(pThumb, texture);
    }
    return;
  }
  pThumb->ticket = ++m_lastTicket;
  m_decodes[pThumb->ticket] = pThumb;
  ++s_decodesInFlight;
  m_decodingBytes += TextureBytes(pThumb->width, pThumb->height);
  m_pDecoder->Request(pThumb->ticket, pThumb->pOwner->deviceId, pThumb->path, pThumb->width,
                      pThumb->height, urgent);
}

void CImageShowPageAdapter::AttachTexture(ThumbTile* pThumb, Pictor::HTEXTURE texture) {
  ILqImage* pPicture = nullptr;
  Pictor::IPictorImage* pImage = nullptr;
  if (SUCCEEDED(Util::Lq::CreateObject(CLSID_LqImage, IID_ILqImage,
                                       reinterpret_cast<void**>(&pPicture)))) {
    if (SUCCEEDED(pPicture->QueryInterface(Pictor::IID_IPictorImage,
                                           reinterpret_cast<void**>(&pImage)))) {
      pImage->SetTexture(texture);
      pThumb->pImage->SetPictureObject(pPicture);
      pImage->Release();
    }
    pPicture->Release();
  }
  pThumb->texture = texture;
  m_textureBytes += TextureBytes(pThumb->width, pThumb->height);
  --pThumb->pOwner->textureless;
}

void CImageShowPageAdapter::OnDecodesReady() {
  for (CThumbDecoder::Result& result : m_pDecoder->TakeResults()) {
    auto it = m_decodes.find(result.ticket);
    if (it == m_decodes.end()) continue;  // its phone went, or was switched away from
    ThumbTile* pThumb = it->second;
    ForgetDecode(pThumb);
    Pictor::HTEXTURE texture = Pictor::TextureFromPixels(result.pixels);
    if (!texture) continue;
    Pictor::SetTextureFilter(texture, Pictor::kGoodFilter);
    AttachTexture(pThumb, texture);
  }
  EnforceBudget();
  ScheduleTileMaker();
}

void CImageShowPageAdapter::ForgetDecode(ThumbTile* pThumb) {
  if (!pThumb->ticket) return;
  m_decodes.erase(pThumb->ticket);
  --s_decodesInFlight;
  pThumb->ticket = 0;
  m_decodingBytes -= TextureBytes(pThumb->width, pThumb->height);
}

void CImageShowPageAdapter::DropDecodesExcept(int64_t id) {
  for (DeviceTextures& textures : m_textures) {
    if (textures.deviceId == id) continue;
    if (m_pDecoder) m_pDecoder->DropDevice(textures.deviceId);
    for (std::unique_ptr<ThumbTile>& pThumb : textures.tiles) ForgetDecode(pThumb.get());
  }
}

uint64_t CImageShowPageAdapter::PeakDecodeBytesForTesting() const {
  return m_pDecoder ? m_pDecoder->PeakBytesForTesting() : 0;
}

bool CImageShowPageAdapter::BudgetHasRoom(int width, int height) const {
  return m_textureBytes + m_decodingBytes + TextureBytes(width, height) <= m_textureBudget;
}

ILqElement* CImageShowPageAdapter::MakeTile(ILqElement* pGroup, const std::u16string& path,
                                            const RECT& rect, int64_t id, int dayKey,
                                            int thumbSize, bool inView, bool queue) {
  ILqElement* pTile = nullptr;
  Util::Lq::RawCreateLqElementBySkein(kPhotoLayout, &pTile, pGroup, nullptr, 0);
  if (!pTile) return nullptr;
  pTile->SetRect(&rect);
  ILqElement* pImage = FindIn(pTile, u"userImg");
  if (IsVideo(path)) {
    if (pImage) pImage->SetPicture(kVideoPicture);
  } else if (pImage) {
    DeviceTextures& textures = TexturesOf(id);
    auto pThumb = std::make_unique<ThumbTile>();
    pThumb->pOwner = &textures;
    pThumb->pGroup = pGroup;
    pGroup->AddRef();
    pThumb->pTile = pTile;
    pTile->AddRef();
    pThumb->pImage = pImage;
    pImage->AddRef();
    pThumb->path = path;
    pThumb->width = thumbSize;
    pThumb->height = thumbSize;
    ThumbTile* pMade = pThumb.get();
    textures.tiles.push_back(std::move(pThumb));
    ++textures.textureless;
    m_thumbByTile[pTile] = pMade;
    if (inView || BudgetHasRoom(thumbSize, thumbSize)) {
      // An arrival goes before the backlog, as a tile in view does.
      RequestThumbnail(pMade, inView || queue);
    } else if (queue) {
      // Off screen: placed now, its thumbnail made by timer 6.
      PendingThumb pending;
      pending.pGroup = pGroup;
      pGroup->AddRef();
      pending.path = path;
      pending.rect = rect;
      pending.deviceId = id;
      pending.dayKey = dayKey;
      pending.pTile = pTile;
      pTile->AddRef();
      AddPending(std::move(pending));
      pMade->queued = true;
    }
  }
  if (pImage) pImage->Release();
  if (ILqElement* pBorder = FindIn(pTile, u"imageborder")) {
    pBorder->SetCursor(u"hand");
    pBorder->SetName(path.c_str());
    ILqEventSource* pSource = nullptr;
    if (SUCCEEDED(pBorder->QueryInterface(IID_ILqEventSource,
                                          reinterpret_cast<void**>(&pSource)))) {
      pSource->AddListener(LqEvent::kClick, m_tileSink.GetInterface<ILqEventListener>());
      pSource->Release();
    }
    pBorder->Release();
  }
  pTile->Release();  // the group holds it
  return pTile;
}

int CImageShowPageAdapter::AddPhotoToGroup(PhoneEntry* pEntry, ILqElement* pGroup,
                                           const std::u16string& path, int dayKey) {
  UINT children = 0;
  pGroup->GetChildCount(&children);
  for (UINT i = 0; i < children; ++i) {
    ILqElement* pChild = nullptr;
    if (FAILED(pGroup->GetChild(i, &pChild)) || !pChild) continue;
    RECT rect = RectOf(pChild);
    if (rect.right - rect.left <= kTileMaxWidth) {
      RECT moved = rect.left < kLastColumnFrom
                       ? RECT{rect.left + kTileStep, rect.top, rect.right + kTileStep, rect.bottom}
                       : RECT{0, rect.top + kTileStep, kTileSize, rect.bottom + kTileStep};
      pChild->SetRect(&moved);
    }
    pChild->Release();
  }
  // Rows follow the day's photos in the index, made into tiles yet or not: counting the tiles
  // made so far would put an arrival's new row over the next day while tiles are pending.
  size_t before = 0;
  ScanDevice* pRecord = nullptr;
  if (m_pScanner->FindDevice(pEntry->deviceId, &pRecord) == CFolderScanner::kComplete) {
    if (const ScanDay* pDay = FindDay(pRecord, dayKey)) before = pDay->photos.size() - 1;
  }
  const int newRow = before % 6 == 0 ? 1 : 0;
  RECT first{0, kTitleHeight, kTileSize, kTitleHeight + kTileSize};
  const bool inView = pEntry->pContainer == m_pCurrentContainer &&
                      InView(CurrentViewport(), pGroup, first);
  MakeTile(pGroup, path, first, pEntry->deviceId, dayKey, kTileSize, inView, true);
  if (ILqElement* pCount = FindIn(pGroup, u"countText")) {
    BSTR text = nullptr;
    pCount->GetText(&text);
    std::u16string value = text ? text : u"";
    SysFreeString(text);
    if (!value.empty()) value.pop_back();
    std::string digits;
    for (char16_t c : value) {
      if (c < u'0' || c > u'9') break;
      digits += static_cast<char>(c);
    }
    const int number = digits.empty() ? 0 : std::atoi(digits.c_str());
    if (number != 0) {
      CKwStringW count;
      count.Format(kArrivalCountFormat, number + 1);
      pCount->SetText(count);
    }
    pCount->Release();
  }
  return newRow;
}

void CImageShowPageAdapter::AddDateGroup(const std::u16string& title, const std::u16string& path,
                                         PhoneEntry* pEntry, int dayKey) {
  ILqElement* pContainer = pEntry->pContainer;
  // Newer days stay; the new group goes below the lowest of them (groups lie in day order, so
  // that is the one just newer) and the older ones make room.
  const auto at = FindGroup(pEntry, dayKey);
  int top = 0;
  if (at != pEntry->groups.begin()) top = RectOf(std::prev(at)->pGroup).bottom + kNewGroupGap;
  for (auto older = at; older != pEntry->groups.end(); ++older) {
    RECT rect = RectOf(older->pGroup);
    rect.top += kNewGroupHeight;
    rect.bottom += kNewGroupHeight;
    older->pGroup->SetRect(&rect);
  }
  ILqElement* pGroup = NewDayGroup(title, kFirstArrivalCount);
  if (!pGroup) return;
  RECT groupRect{0, top, kContainerWidth, top + kNewGroupHeight};
  pGroup->SetRect(&groupRect);
  pContainer->AddChild(pGroup);
  pEntry->groups.insert(at, DayGroup{dayKey, pGroup});
  RECT first{0, kTitleHeight, kTileSize, kTitleHeight + kTileSize};
  const bool inView =
      pContainer == m_pCurrentContainer && InView(CurrentViewport(), pGroup, first);
  MakeTile(pGroup, path, first, pEntry->deviceId, dayKey, kArrivalGroupTileSize, inView, true);
  pGroup->Release();
  RECT rect = RectOf(pContainer);
  rect.bottom += kNewGroupHeight;
  pContainer->SetRect(&rect);
  if (rect.bottom - rect.top > kScrollFromHeight && pEntry->selected) {
    EnableScroll(m_pPhotoScrollView, true, true);
  }
}

void CImageShowPageAdapter::PlaceArrival(PhoneEntry* pEntry, const std::u16string& path,
                                         int dayKey, int32_t time) {
  ScanDevice* pRecord = nullptr;
  if (m_pScanner->FindDevice(pEntry->deviceId, &pRecord) == CFolderScanner::kComplete) {
    if (const ScanDay* pDay = FindDay(pRecord, dayKey)) {
      for (const ScanPhoto& photo : pDay->photos) {
        if (photo.path == path) return;  // shown already
      }
    }
  }
  m_pScanner->AddPhoto(pEntry->deviceId, dayKey, path, time);
  const std::u16string title = DateTitle(dayKey);
  ILqElement* pContainer = pEntry->pContainer;
  const auto at = FindGroup(pEntry, dayKey);
  ILqElement* pFound = nullptr;
  if (at != pEntry->groups.end() && at->dayKey == dayKey) {
    pFound = at->pGroup;
    pFound->AddRef();
  }
  if (pFound) {
    const int newRow = AddPhotoToGroup(pEntry, pFound, path, dayKey);
    if (newRow) {
      RECT grown = RectOf(pFound);
      grown.bottom += kTileStep;
      pFound->SetRect(&grown);
      // Only the older days lie below it.
      for (auto older = std::next(at); older != pEntry->groups.end(); ++older) {
        RECT rect = RectOf(older->pGroup);
        rect.top += kTileStep;
        rect.bottom += kTileStep;
        older->pGroup->SetRect(&rect);
      }
      RECT rect = RectOf(pContainer);
      rect.bottom += kTileStep;
      pContainer->SetRect(&rect);
      const bool tall = rect.bottom - rect.top > kScrollFromHeight;
      if (tall && !pEntry->selected) {
        pFound->Release();
        ScheduleTileMaker();
        return;
      }
      if (tall && pEntry->selected) EnableScroll(m_pPhotoScrollView, true, true);
    }
    pFound->Release();
  } else if (path.size() > 2) {
    AddDateGroup(title, path, pEntry, dayKey);
  }
  if (pEntry->selected && m_pCurrentContainer) m_pCurrentContainer->Refresh();
  EnforceBudget();
  ScheduleTileMaker();
}

void CImageShowPageAdapter::OnTileMakerTick() {
  Viewport view = CurrentViewport();
  PhoneEntry* pCurrent = CurrentEntry();
  const int64_t currentId = pCurrent ? pCurrent->deviceId : 0;
  const auto deadline = std::chrono::steady_clock::now() + kViewTickBudget;
  auto timeLeft = [&deadline] { return std::chrono::steady_clock::now() < deadline; };
  if (HasMissingTilesInView(view)) {
    for (const VisibleGroup& visible : view.groups) {
      auto found = m_pendingByGroup.find(visible.pGroup);
      if (found == m_pendingByGroup.end()) continue;
      const std::vector<std::list<PendingThumb>::iterator> inGroup = found->second;
      for (auto it : inGroup) {
        if (!timeLeft()) break;
        if (it->deviceId != currentId || !InView(view, it->pGroup, it->rect)) continue;
        MakePendingTile(*it, true);
        UnindexPending(it);
        it->pGroup->Release();
        if (it->pTile) it->pTile->Release();
        m_pending.erase(it);
      }
    }
    for (const VisibleGroup& visible : view.groups) {
      UINT children = 0;
      visible.pGroup->GetChildCount(&children);
      for (UINT i = 0; i < children && timeLeft(); ++i) {
        ILqElement* pTile = nullptr;
        if (FAILED(visible.pGroup->GetChild(i, &pTile)) || !pTile) continue;
        ThumbTile* pThumb = FindThumb(pTile);
        if (pThumb && !pThumb->texture && InView(view, visible.pGroup, RectOf(pTile))) {
          RequestThumbnail(pThumb, true);
        }
        pTile->Release();
      }
    }
  } else {
    // A large photo alone can take the whole budget: the second tile then waits for a tick.
    for (size_t i = 0; i < kTilesPerSlowTick && !m_pending.empty() && (i == 0 || timeLeft());
         ++i) {
      UnindexPending(m_pending.begin());
      PendingThumb pending = std::move(m_pending.front());
      m_pending.pop_front();
      MakePendingTile(pending, pending.deviceId == currentId &&
                                   InView(view, pending.pGroup, pending.rect));
      pending.pGroup->Release();
      if (pending.pTile) pending.pTile->Release();
    }
  }
  EnforceBudget();
  // A tick past its budget leaves the timer due again at once, and GLib's loop would run it
  // before each of the messages that waited meanwhile (input, posts from other threads): a short
  // pause from now lets them through first.
  ScheduleTileMaker(!timeLeft());
}

void CImageShowPageAdapter::ScheduleTileMaker(bool overran) {
  PhoneEntry* pCurrent = CurrentEntry();
  size_t textureless = 0;
  if (pCurrent) {
    for (const DeviceTextures& textures : m_textures) {
      if (textures.deviceId == pCurrent->deviceId) textureless = textures.textureless;
    }
  }
  DWORD interval = 0;
  if (!m_pending.empty() || textureless > 0) {
    interval = HasMissingTilesInView(CurrentViewport()) ? kViewPaceMs : kTilePaceMs;
  }
  if (overran && interval != 0) {
    KwTimer::SetInterval(kCatchUpMs, m_timerSink.GetInterface<IKwTimerCallback>(), kTileTimer);
    m_tileTimerInterval = kCatchUpMs;
    return;
  }
  if (interval == m_tileTimerInterval) return;
  m_tileTimerInterval = interval;
  IKwTimerCallback* pSink = m_timerSink.GetInterface<IKwTimerCallback>();
  if (interval == 0) {
    KwTimer::EraseTimerCallback(pSink, kTileTimer);
  } else {
    KwTimer::SetInterval(interval, pSink, kTileTimer);
  }
}

CImageShowPageAdapter::Viewport CImageShowPageAdapter::CurrentViewport() {
  Viewport view;
  BOOL hidden = TRUE;
  if (!m_pCurrentContainer || !m_pPhotoScrollView ||
      FAILED(m_pCurrentContainer->IsHidden(&hidden)) || hidden) {
    return view;
  }
  RECT area = RectOf(m_pPhotoScrollView);
  POINT position{0, 0};
  ILqScrollView* pScroll = nullptr;
  if (SUCCEEDED(m_pPhotoScrollView->QueryInterface(IID_ILqScrollView,
                                                   reinterpret_cast<void**>(&pScroll)))) {
    pScroll->GetScrollPos(&position);
    pScroll->Release();
  }
  view.top = position.y;
  view.bottom = position.y + (area.bottom - area.top);
  auto entry = std::find_if(m_phones.begin(), m_phones.end(), [this](const auto& pEntry) {
    return pEntry->pContainer == m_pCurrentContainer;
  });
  if (entry == m_phones.end()) return view;
  // Groups lie in day order, each below the newer ones (an arrival's new day overlaps the next
  // by at most its gap), so both their tops and their bottoms grow along the list.
  const std::vector<DayGroup>& groups = (*entry)->groups;
  auto first = std::partition_point(groups.begin(), groups.end(), [&view](const DayGroup& g) {
    return RectOf(g.pGroup).bottom <= view.top;
  });
  auto last = std::partition_point(first, groups.end(), [&view](const DayGroup& g) {
    return RectOf(g.pGroup).top < view.bottom;
  });
  for (auto it = first; it != last; ++it) {
    view.groups.push_back(VisibleGroup{it->pGroup, static_cast<int>(RectOf(it->pGroup).top)});
  }
  return view;
}

bool CImageShowPageAdapter::InView(const Viewport& view, ILqElement* pGroup, const RECT& rect) {
  for (const VisibleGroup& visible : view.groups) {
    if (visible.pGroup != pGroup) continue;
    return visible.top + rect.top < view.bottom && visible.top + rect.bottom > view.top;
  }
  return false;
}

bool CImageShowPageAdapter::HasMissingTilesInView(const Viewport& view) {
  if (view.groups.empty()) return false;
  for (const VisibleGroup& visible : view.groups) {
    auto found = m_pendingByGroup.find(visible.pGroup);
    if (found == m_pendingByGroup.end()) continue;
    for (auto it : found->second) {
      if (InView(view, it->pGroup, it->rect)) return true;
    }
  }
  for (const VisibleGroup& visible : view.groups) {
    UINT children = 0;
    visible.pGroup->GetChildCount(&children);
    for (UINT i = 0; i < children; ++i) {
      ILqElement* pTile = nullptr;
      if (FAILED(visible.pGroup->GetChild(i, &pTile)) || !pTile) continue;
      ThumbTile* pThumb = FindThumb(pTile);
      const bool missing = pThumb && !pThumb->texture && !pThumb->ticket &&
                           InView(view, visible.pGroup, RectOf(pTile));
      pTile->Release();
      if (missing) return true;
    }
  }
  return false;
}

void CImageShowPageAdapter::DropTexture(ThumbTile* pThumb) {
  if (!pThumb->texture) return;
  pThumb->pImage->SetPictureObject(nullptr);
  Pictor::DeleteTexture(pThumb->texture);
  pThumb->texture = nullptr;
  m_textureBytes -= TextureBytes(pThumb->width, pThumb->height);
  ++pThumb->pOwner->textureless;
}

void CImageShowPageAdapter::EnforceBudget() {
  if (m_textureBytes <= m_textureBudget) return;
  const uint64_t target = m_textureBudget * kBudgetRefillPercent / 100;
  Viewport view = CurrentViewport();
  PhoneEntry* pCurrent = CurrentEntry();
  struct Candidate {
    uint64_t distance;  // hidden phones' tiles count as farthest
    ThumbTile* pThumb;
  };
  std::vector<Candidate> candidates;
  for (DeviceTextures& textures : m_textures) {
    const bool shown = pCurrent && textures.deviceId == pCurrent->deviceId &&
                       pCurrent->pContainer == m_pCurrentContainer && !view.groups.empty();
    for (const std::unique_ptr<ThumbTile>& pThumb : textures.tiles) {
      if (!pThumb->texture) continue;
      uint64_t distance = UINT64_MAX;
      if (shown) {
        RECT group = RectOf(pThumb->pGroup);
        RECT tile = RectOf(pThumb->pTile);
        const int top = group.top + tile.top;
        const int bottom = group.top + tile.bottom;
        if (top < view.bottom && bottom > view.top) continue;  // in view: kept
        distance = top >= view.bottom ? top - view.bottom : view.top - bottom;
      }
      candidates.push_back(Candidate{distance, pThumb.get()});
    }
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.distance > b.distance; });
  for (const Candidate& candidate : candidates) {
    if (m_textureBytes <= target) break;
    DropTexture(candidate.pThumb);
  }
}

CImageShowPageAdapter::ThumbTile* CImageShowPageAdapter::FindThumb(ILqElement* pTile) {
  auto it = m_thumbByTile.find(pTile);
  return it == m_thumbByTile.end() ? nullptr : it->second;
}

CImageShowPageAdapter::DeviceTextures& CImageShowPageAdapter::TexturesOf(int64_t id) {
  for (DeviceTextures& textures : m_textures) {
    if (textures.deviceId == id) return textures;
  }
  m_textures.push_back(DeviceTextures{id, {}, 0});
  return m_textures.back();
}

CImageShowPageAdapter::PhoneEntry* CImageShowPageAdapter::CurrentEntry() {
  return m_currentPhone.empty() ? nullptr : FindEntryByName(m_currentPhone);
}

HRESULT CImageShowPageAdapter::OnTileEvent(UINT eventId, ILqElement* pElement, ILqEvent*) {
  if (eventId == LqEvent::kClick) OnClick(pElement);
  return 0;
}
