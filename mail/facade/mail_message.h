// The application's view of one e-mail message, and the small string type
// the facade hands out.
//
// The facade classes are thin wrappers: they take the caller's narrow
// strings (UTF-8 when the object's UTF-8 flag is on, otherwise the process
// locale's charset, where the C/POSIX locale counts as UTF-8), convert them
// and forward to an implementation object that keeps the message and the
// operation log of the last call. No error crosses the facade: operations
// report by their result, and the reason stays in the log (LastErrorXml,
// SaveErrorLogXml).
#pragma once

#include <memory>

namespace zelmar::mail {

class XString;
class StringBuffer;
class MailMessageImpl;
class MailSenderImpl;

// Common base of the facade classes: the UTF-8 flag for string arguments
// and results.
class FacadeObject {
public:
    FacadeObject() = default;
    virtual ~FacadeObject();
    FacadeObject(const FacadeObject&) = delete;
    FacadeObject& operator=(const FacadeObject&) = delete;

    bool Utf8() const { return utf8_; }
    void SetUtf8(bool on) { utf8_ = on; }

protected:
    bool utf8_ = false;
};

// A string that can be handed out: it keeps its text until it is set again.
class MailString : public FacadeObject {
public:
    MailString();
    ~MailString() override;

    // Takes text in the caller's form (the UTF-8 flag decides).
    void SetString(const char* text);
    // The text in the caller's form; never null.
    const char* GetString();
    bool IsEmpty() const;

    // Component side: text that is UTF-8 inside.
    void SetUtf8Text(const char* utf8, unsigned long length);

private:
    std::unique_ptr<XString> text_;
    std::unique_ptr<StringBuffer> out_;
};

class MailMessage : public FacadeObject {
public:
    MailMessage();
    // Wraps an implementation object; with owns false the wrapper leaves
    // it alive when it is destroyed.
    MailMessage(MailMessageImpl* impl, bool owns);
    ~MailMessage() override;

    void SetSubject(const char* subject);
    void SetBody(const char* text);
    void SetHtmlBody(const char* html);
    // False (nothing set) for text that is not exactly one address.
    bool SetFrom(const char* from);
    bool AddTo(const char* friendlyName, const char* address);
    bool AddBcc(const char* friendlyName, const char* address);
    bool AddDataAttachment(const char* fileName, const unsigned char* data, unsigned long length);

    // The operation log of the last call.
    const char* LastErrorXml();
    const char* LastErrorText();
    bool SaveErrorLogXml(const char* path);

    // The message as it would be rendered now (for inspection).
    const char* GetMime();

    MailMessageImpl* Impl() const { return impl_; }

private:
    const char* Slot(int index, const char* utf8, unsigned long length);

    bool owns_ = true;
    MailMessageImpl* impl_ = nullptr;
    MailString results_[10];
};

}  // namespace zelmar::mail
