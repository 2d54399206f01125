#pragma once
// The binary form of a dialog template, as a module carries it in its
// resource section (type RT_DIALOG), and the reading of it back.
//
// All numbers are little-endian and all texts NUL-terminated UTF-16. The
// header holds the style, the extended style, the item count, the position
// and size, the menu and the window class (both 0: none, the standard one),
// the caption and, when the style has DS_SETFONT, the point size and the
// typeface. Each item follows on a 32-bit boundary (from the start of the
// template): style, extended style, position and size, its 16-bit
// identifier, its class (0xFFFF and an atom for BUTTON, EDIT, STATIC and
// LISTBOX, else the class name), its text (or 0xFFFF and the identifier of
// the bitmap a picture shows) and the size of its creation data.

#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/ui/DialogTemplate.h"

namespace platform::ui {

// A template read from its binary form. It owns every text its
// DialogTemplate points at, so it cannot be copied or moved.
class LoadedDialogTemplate {
public:
    LoadedDialogTemplate() = default;
    LoadedDialogTemplate(const LoadedDialogTemplate&) = delete;
    LoadedDialogTemplate& operator=(const LoadedDialogTemplate&) = delete;

    const DialogTemplate& Template() const { return m_template; }

private:
    friend std::unique_ptr<const LoadedDialogTemplate> ReadDialogResource(
        std::span<const BYTE> bytes);

    DialogTemplate m_template{};
    std::deque<std::string> m_texts;  // a deque never moves what it holds
    std::vector<DialogItemTemplate> m_items;
};

// The template in its binary form.
std::vector<BYTE> WriteDialogResource(const DialogTemplate& dialog);

// Reads a template in its binary form; null when it is damaged: cut short, an
// item count the bytes do not hold, a text without its end or not UTF-16, an
// extended template, or a class atom this framework has no control for.
// Every read is checked against the bytes given.
std::unique_ptr<const LoadedDialogTemplate> ReadDialogResource(std::span<const BYTE> bytes);

}  // namespace platform::ui
