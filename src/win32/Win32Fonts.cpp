#include "win32/Win32Fonts.h"

#include <array>
#include <cwchar>
#include <vector>

namespace zelmora {

namespace {

int CALLBACK NoteFace(const LOGFONTW* /*font*/, const TEXTMETRICW* /*metrics*/, DWORD /*type*/,
                      LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

// Chinese faces in the order they are preferred: those of Windows first.
constexpr std::array<const wchar_t*, 6> kCjkFaces = {
    L"SimSun",           L"Microsoft YaHei",   L"NSimSun", L"WenQuanYi Micro Hei",
    L"Noto Sans CJK SC", L"WenQuanYi Zen Hei",
};

constexpr std::array<const wchar_t*, 4> kChineseNames = {L"宋体", L"SimSun", L"新宋体", L"NSimSun"};

// The sans faces of dialog templates, and installed faces of about their
// metrics to stand in for them, in order.
constexpr std::array<const wchar_t*, 3> kSansNames = {L"Microsoft Sans Serif", L"MS Sans Serif",
                                                      L"Arial"};
constexpr std::array<const wchar_t*, 4> kSansFaces = {L"Arial", L"Liberation Sans", L"Tahoma",
                                                      L"DejaVu Sans"};

} // namespace

bool IsFaceInstalled(std::wstring_view face) {
    if (face.empty() || face.size() >= LF_FACESIZE) {
        return false;
    }
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    face.copy(query.lfFaceName, face.size());
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &query, NoteFace, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found;
}

std::wstring CjkFace() {
    for (const wchar_t* face : kCjkFaces) {
        if (IsFaceInstalled(face)) {
            return face;
        }
    }
    return {};
}

std::wstring ChooseInstalledFace(std::wstring_view face) {
    if (IsFaceInstalled(face)) {
        return std::wstring(face);
    }
    for (const wchar_t* name : kChineseNames) {
        if (face == name) {
            if (std::wstring cjk = CjkFace(); !cjk.empty()) {
                return cjk;
            }
        }
    }
    for (const wchar_t* name : kSansNames) {
        if (face == name) {
            for (const wchar_t* standIn : kSansFaces) {
                if (IsFaceInstalled(standIn)) {
                    return standIn;
                }
            }
        }
    }
    return std::wstring(face);
}

bool FontShowsText(HFONT font, std::wstring_view text) {
    if (text.empty()) {
        return true;
    }
    HDC dc = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    std::vector<WORD> glyphs(text.size());
    const DWORD converted = GetGlyphIndicesW(dc, text.data(), static_cast<int>(text.size()),
                                             glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, previous);
    ReleaseDC(nullptr, dc);
    if (converted == GDI_ERROR) {
        return true;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Line breaks and the like have no glyph and need none.
        if (glyphs[i] == 0xFFFF && text[i] >= L' ') {
            return false;
        }
    }
    return true;
}

HFONT CreateFontShowing(HFONT font, std::wstring_view text) {
    if (FontShowsText(font, text)) {
        return nullptr;
    }
    LOGFONTW description{};
    if (GetObjectW(font, sizeof description, &description) == 0) {
        return nullptr;
    }
    for (const wchar_t* face : kCjkFaces) {
        if (!IsFaceInstalled(face)) {
            continue;
        }
        std::wcsncpy(description.lfFaceName, face, LF_FACESIZE - 1);
        description.lfCharSet = DEFAULT_CHARSET;
        HFONT candidate = CreateFontIndirectW(&description);
        if (candidate != nullptr && FontShowsText(candidate, text)) {
            return candidate;
        }
        if (candidate != nullptr) {
            DeleteObject(candidate);
        }
    }
    return nullptr;
}

} // namespace zelmora
