#pragma once

#include "xmlescape.h"

#include <fstream>
#include <string>
#include <vector>

namespace vintorlog_detail {

constexpr size_t chunkSize = 64 * 1024; // what the writer passes to the file at a time

// Writes what QXmlStreamWriter with auto-formatting writes for the same calls, into a buffer
// that goes to the file after each call, and whenever it holds a chunk: a text costs the
// library a chunk of memory, however long it is.
class XmlWriter
{
public:
    std::string bytes;
    std::ofstream *file = nullptr;
    long long written = 0; // bytes passed to the file

    void drain()
    {
        file->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        written += static_cast<long long>(bytes.size());
        bytes.clear();
    }

    void declaration() { bytes += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"; }
    void start(const char *name)
    {
        if (!finishStartTag(false))
            indent();
        bytes += '<';
        markRun();
        bytes += name;
        m_tags.emplace_back(name);
        m_inStartTag = m_lastWasStart = true;
    }
    void attribute(const char *name, const char *value)
    {
        bytes += ' ';
        bytes += name;
        bytes += "=\"";
        escaped(value, xmlescape::Attribute);
        bytes += '"';
    }
    void characters(const char *text)
    {
        finishStartTag(true);
        escaped(text, xmlescape::Text);
    }
    void end()
    {
        if (m_inStartTag) {
            bytes += "/>";
            m_inStartTag = m_lastWasStart = false;
            m_tags.pop_back();
            return;
        }
        const std::string name = m_tags.back();
        m_tags.pop_back();
        if (!finishStartTag(false) && !m_lastWasStart)
            indent();
        bytes += "</";
        markRun();
        bytes += name + '>';
        m_lastWasStart = false;
    }
    void textElement(const char *name, const char *text)
    {
        start(name);
        characters(text);
        end();
    }
    void endDocument()
    {
        while (!m_tags.empty())
            end();
        bytes += '\n';
    }
    int depth() const { return static_cast<int>(m_tags.size()); }
    // The bytes written since the last '<': the run that the harvest's reader holds whole.
    long long run() const { return written + static_cast<long long>(bytes.size()) - m_runStart; }

private:
    // Ends a pending start tag; true when something was written since the last indentation.
    bool finishStartTag(bool contents)
    {
        const bool hadSomethingWritten = m_wroteSomething;
        m_wroteSomething = contents;
        if (m_inStartTag) {
            bytes += '>';
            m_inStartTag = false;
        }
        return hadSomethingWritten;
    }
    void indent() { bytes += '\n' + std::string(4 * m_tags.size(), ' '); }
    // Runs of characters that need no escape are copied whole, at most a chunk at a time.
    void escaped(const char *text, xmlescape::Mode mode)
    {
        const char *run = text;
        for (const char *p = text;; ++p) {
            const char *entity = *p ? xmlescape::entity(static_cast<unsigned char>(*p), mode) : nullptr;
            if (*p && !entity && static_cast<size_t>(p - run) < chunkSize)
                continue;
            bytes.append(run, static_cast<size_t>(p - run));
            run = p;
            if (!*p)
                return;
            if (entity) {
                bytes += entity;
                run = p + 1;
            }
            if (bytes.size() >= chunkSize)
                drain();
        }
    }

    void markRun() { m_runStart = written + static_cast<long long>(bytes.size()); }

    std::vector<std::string> m_tags;
    long long m_runStart = 0;
    bool m_inStartTag = false;
    bool m_lastWasStart = false;
    bool m_wroteSomething = false;
};

// Runs the lock calls of one handle on a thread of its own. A named mutex belongs to the thread
// that took it, on Windows and in the robust mutexes that stand for it on POSIX: taken on a
// product's thread, a part's lock could be released on no other thread, and would count as
// abandoned as soon as that thread ended. The keeper lives as long as the handle, so any thread

} // namespace vintorlog_detail
