// text_fit_probe.dll: measures a dialog's texts from inside the process that owns the
// dialog, where the controls' own fonts can be selected into a device context (a font
// handle means nothing in another process). text_fit_check.exe hooks the dialog's
// thread with this DLL's TextFitCallWndProc and sends the dialog the registered
// message kTextFitMessageName; the hook, called in that thread before the dialog sees
// the message, measures every visible text control of the dialog (its child dialogs'
// included) and sends the records back with WM_COPYDATA.
//
// What is measured, with the control's font, against the control's client rectangle:
//   static texts: SS_LEFT, SS_CENTER and SS_RIGHT wrapped at the right edge as the
//     control wraps them, SS_LEFTNOWORDWRAP and SS_SIMPLE one line each. Icons,
//     bitmaps, frames and statics that shorten their text with an ellipsis on purpose
//     are left out.
//   check box and radio button texts, right of the box.
//   group box captions, right of the box's corner.
// DrawText lays the text out (DT_CALCRECT: its lines, by the font's advance widths),
// then draws it, as the control does, into a bitmap with room around it: the text is
// cut when its lines are taller than the control or its ink reaches past the
// control's right edge. The ink, not the advance widths, decides the width: Wine
// draws its own Tahoma up to a tenth narrower than GetTextExtentPoint32 says, and a
// glyph's advance may end before or after its ink. The advance-width figure is sent
// too (layoutWidth), for the check to point out texts that are tight.
#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "tools/screenshots/text_fit.h"

namespace {

// Where the text of a check box or radio button starts, right of the box, and where a
// group box's caption starts, right of the box's corner: pixels from the control's
// left edge at 96 dots per inch, as Wine draws them with the program's font (a 13-pixel
// box and a gap of 4; a caption indent of 8). Windows' own drawing is within a pixel.
constexpr int kButtonTextIndentAt96Dpi = 17;
constexpr int kCaptionIndentAt96Dpi = 8;

constexpr COLORREF kPaper = RGB(255, 255, 255);
constexpr COLORREF kInk = RGB(0, 0, 0);

// A memory device context with the control's font selected, for the measuring and
// the drawing.
class Canvas {
public:
    explicit Canvas(HWND control) : dc_(CreateCompatibleDC(nullptr))
    {
        auto font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
        if (!font)
            font = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
        if (dc_)
            previousFont_ = SelectObject(dc_, font);
    }
    ~Canvas()
    {
        if (!dc_)
            return;
        SelectObject(dc_, previousFont_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return dc_; }

private:
    HDC dc_;
    HGDIOBJ previousFont_ = nullptr;
};

int Scaled(HDC dc, int pixelsAt96Dpi)
{
    return MulDiv(pixelsAt96Dpi, GetDeviceCaps(dc, LOGPIXELSX), 96);
}

// The leftmost and rightmost columns of `bits` (width x height, 32 bits a pixel,
// top-down) holding anything but paper; false if none does.
bool InkColumns(const DWORD* bits, int width, int height, int& first, int& last)
{
    first = width;
    last = -1;
    for (int y = 0; y < height; ++y) {
        const DWORD* row = bits + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            if ((row[x] & 0x00FFFFFF) == kPaper)
                continue;
            first = std::min(first, x);
            last = std::max(last, x);
        }
    }
    return last >= 0;
}

struct Needs {
    int inkWidth = 0;     // from the left of the text's space to the right of its ink
    int layoutWidth = 0;  // the same by the advance widths
    int height = 0;       // the lines' height
};

// Lays `text` out in a space `width` pixels wide with `format`, and draws it there.
// A wrapping format breaks its lines at that width, as the control does; the ink is
// looked for on both sides of the space (a centred line wider than the space spills
// over both edges).
Needs MeasureText(HDC dc, const char* text, int width, UINT format)
{
    Needs needs;
    width = std::max(width, 1);
    RECT layout{0, 0, width, 0};
    DrawTextA(dc, text, -1, &layout, format | DT_CALCRECT);
    needs.layoutWidth = layout.right;
    needs.height = layout.bottom;
    if (layout.bottom <= 0)
        return needs;

    const int margin = std::max<int>(layout.right, width) + 8;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = margin + width + margin;
    info.bmiHeader.biHeight = -layout.bottom;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        needs.inkWidth = needs.layoutWidth;  // nothing to draw into: the advance widths stand
        return needs;
    }
    const HGDIOBJ previousBitmap = SelectObject(dc, bitmap);
    RECT all{0, 0, info.bmiHeader.biWidth, layout.bottom};
    const HBRUSH paper = CreateSolidBrush(kPaper);
    FillRect(dc, &all, paper);
    DeleteObject(paper);
    SetTextColor(dc, kInk);
    SetBkMode(dc, TRANSPARENT);
    RECT space{margin, 0, margin + width, layout.bottom};
    DrawTextA(dc, text, -1, &space, format | DT_NOCLIP);
    GdiFlush();
    int first = 0, last = 0;
    if (InkColumns(static_cast<const DWORD*>(bits), info.bmiHeader.biWidth, layout.bottom, first, last))
        needs.inkWidth = (last + 1 - margin) + std::max(margin - first, 0);
    SelectObject(dc, previousBitmap);
    DeleteObject(bitmap);
    return needs;
}

// The class name without the version a manifest adds to it ("6.0.0.0!Button").
bool IsClass(HWND window, std::string_view name)
{
    std::array<char, 64> buffer{};
    GetClassNameA(window, buffer.data(), static_cast<int>(buffer.size()));
    std::string_view kind(buffer.data());
    const std::size_t bang = kind.rfind('!');
    if (bang != std::string_view::npos)
        kind.remove_prefix(bang + 1);
    return kind.size() == name.size() && _strnicmp(kind.data(), name.data(), name.size()) == 0;
}

void Store(const Needs& needs, int indent, TextFitRecord& record)
{
    record.neededWidth = indent + needs.inkWidth;
    record.layoutWidth = indent + needs.layoutWidth;
    record.neededHeight = needs.height;
}

// A static control's text; false for statics that show no text or shorten it on purpose.
bool MeasureStatic(HDC dc, DWORD style, const char* text, const RECT& client, TextFitRecord& record)
{
    UINT format = DT_EXPANDTABS;
    switch (style & SS_TYPEMASK) {
    case SS_LEFT: format |= DT_LEFT | DT_WORDBREAK; break;
    case SS_CENTER: format |= DT_CENTER | DT_WORDBREAK; break;
    case SS_RIGHT: format |= DT_RIGHT | DT_WORDBREAK; break;
    case SS_LEFTNOWORDWRAP: format |= DT_LEFT; break;
    case SS_SIMPLE: format |= DT_LEFT | DT_SINGLELINE; break;
    default: return false;
    }
    if (style & SS_ELLIPSISMASK)
        return false;
    if (style & SS_NOPREFIX)
        format |= DT_NOPREFIX;
    if (style & SS_EDITCONTROL)
        format |= DT_EDITCONTROL;
    record.kind = kStaticText;
    Store(MeasureText(dc, text, client.right, format), 0, record);
    return true;
}

// A check box's or radio button's text beside its box, or a group box's caption.
bool MeasureButton(HDC dc, DWORD style, const char* text, const RECT& client, TextFitRecord& record)
{
    if (style & (BS_BITMAP | BS_ICON | BS_PUSHLIKE))
        return false;
    switch (style & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE: record.kind = kCheckBoxText; break;
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON: record.kind = kRadioText; break;
    case BS_GROUPBOX: record.kind = kGroupCaption; break;
    default: return false;
    }
    if (record.kind == kGroupCaption) {
        const int indent = Scaled(dc, kCaptionIndentAt96Dpi);
        Store(MeasureText(dc, text, client.right - indent, DT_LEFT | DT_SINGLELINE), indent, record);
        return true;
    }
    const int indent = Scaled(dc, kButtonTextIndentAt96Dpi);
    const bool multiLine = (style & BS_MULTILINE) != 0;
    Store(MeasureText(dc, text, client.right - indent, DT_LEFT | (multiLine ? DT_WORDBREAK : DT_SINGLELINE)), indent,
          record);
    return true;
}

// The face and character height of the font selected into `dc`.
void DescribeFont(HDC dc, int& height, char (&face)[kTextFitMaxFace])
{
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    height = metrics.tmHeight;
    GetTextFaceA(dc, kTextFitMaxFace, face);
}

struct Answer {
    HWND dialog;
    HWND reply;
    int records;
};

void Send(HWND reply, ULONG_PTR kind, const void* data, DWORD size)
{
    COPYDATASTRUCT copy{};
    copy.dwData = kind;
    copy.cbData = size;
    copy.lpData = const_cast<void*>(data);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(reply, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 10000, &result);
}

BOOL CALLBACK MeasureControl(HWND control, LPARAM parameter)
{
    auto* answer = reinterpret_cast<Answer*>(parameter);
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(control, GWL_STYLE));
    if (!(style & WS_VISIBLE))
        return TRUE;
    const bool isStatic = IsClass(control, "Static");
    if (!isStatic && !IsClass(control, "Button"))
        return TRUE;
    TextFitRecord record{};
    if (GetWindowTextA(control, record.text, kTextFitMaxText) <= 0)
        return TRUE;
    RECT client{};
    GetClientRect(control, &client);
    Canvas canvas(control);
    if (!canvas.dc())
        return TRUE;
    const bool measured = isStatic ? MeasureStatic(canvas.dc(), style, record.text, client, record)
                                   : MeasureButton(canvas.dc(), style, record.text, client, record);
    if (!measured)
        return TRUE;
    DescribeFont(canvas.dc(), record.fontHeight, record.fontFace);
    record.id = GetDlgCtrlID(control);
    record.clientWidth = client.right;
    record.clientHeight = client.bottom;
    POINT corner{0, 0};
    MapWindowPoints(control, answer->dialog, &corner, 1);
    record.left = corner.x;
    record.top = corner.y;
    Send(answer->reply, kTextFitRecord, &record, sizeof(record));
    ++answer->records;
    return TRUE;
}

void MeasureDialog(HWND dialog, HWND reply)
{
    Answer answer{dialog, reply, 0};
    EnumChildWindows(dialog, MeasureControl, reinterpret_cast<LPARAM>(&answer));

    TextFitEnd end{};
    end.records = answer.records;
    Canvas canvas(dialog);
    if (canvas.dc())
        DescribeFont(canvas.dc(), end.fontHeight, end.fontFace);
    Send(reply, kTextFitEnd, &end, sizeof(end));
}

}  // namespace

extern "C" LRESULT CALLBACK TextFitCallWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    static const UINT measure = RegisterWindowMessageA(kTextFitMessageName);
    if (code == HC_ACTION) {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (measure != 0 && call->message == measure && IsWindow(reinterpret_cast<HWND>(call->wParam)))
            MeasureDialog(call->hwnd, reinterpret_cast<HWND>(call->wParam));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
