// The freedesktop Secret Service (gnome-keyring, KWallet...) through libsecret:
// one item per target in the default collection, carrying the attributes
// "target" and "user", the secret stored as UTF-8 text.
//
// libsecret's own synchronous calls can wait without limit (bus activation, a
// silent bus, an unlock prompt nobody answers), which would freeze the window.
// So each call here is libsecret's asynchronous call run on a private main
// context until it ends or its time is up, then cancelled.

// GLib's headers use the word "signals", which Qt's headers turn into a macro.
#include <libsecret/secret.h>

#include "credentialbackend.h"

#include <QFileInfo>

#include <memory>

namespace {

// Reaching the service includes starting it by bus activation.
constexpr guint kReachMs = 3000;
// The same bound as D-Bus's own default reply timeout; it leaves time for an
// unlock prompt.
constexpr guint kCallMs = 25000;
// How long a cancelled call may take to wind down before it is abandoned.
constexpr guint kCancelGraceMs = 1000;

SecretSchema makeSchema()
{
    SecretSchema schema{};
    schema.name = "org.pelorin.PelorinVNC.Password";
    schema.flags = SECRET_SCHEMA_NONE;
    schema.attributes[0] = {"target", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema.attributes[1] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return schema;
}

const SecretSchema *passwordSchema()
{
    static const SecretSchema schema = makeSchema();
    return &schema;
}

// Without a bus address GLib would autolaunch a new bus (and a keyring on
// it) through dbus-launch; a session without a bus has no store to use.
bool sessionBusKnown()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

struct GObjectDeleter
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
using ResultPtr = std::unique_ptr<GAsyncResult, GObjectDeleter>;
using ServicePtr = std::unique_ptr<SecretService, GObjectDeleter>;

struct HashTableDeleter
{
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableDeleter>;

// Shared by the waiting side and the completion callback; whichever lets go
// last frees it, so a call abandoned after its grace time stays safe.
struct Call
{
    GCancellable *cancellable = g_cancellable_new();
    GAsyncResult *result = nullptr;
    int refs = 2;
};

void release(Call *call)
{
    if (--call->refs > 0)
        return;
    if (call->result)
        g_object_unref(call->result);
    g_object_unref(call->cancellable);
    delete call;
}

void onCallReady(GObject *, GAsyncResult *result, gpointer data)
{
    auto *call = static_cast<Call *>(data);
    call->result = G_ASYNC_RESULT(g_object_ref(result));
    release(call);
}

gboolean onTimeUp(gpointer data)
{
    *static_cast<bool *>(data) = true;
    return G_SOURCE_REMOVE;
}

// A main context of our own, the thread's default while it lives, so the
// calls' callbacks are dispatched only by the waits below.
class PrivateContext
{
public:
    PrivateContext() : context(g_main_context_new())
    {
        g_main_context_push_thread_default(context);
    }
    ~PrivateContext()
    {
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }
    PrivateContext(const PrivateContext &) = delete;
    PrivateContext &operator=(const PrivateContext &) = delete;

    // Starts a call through `start(cancellable, callback, data)` and returns
    // its result, or null when it did not end within `ms` (it is cancelled).
    template<typename Start> ResultPtr run(guint ms, Start start)
    {
        auto *call = new Call;
        start(call->cancellable, &onCallReady, call);
        if (!iterateUntilDone(call, ms)) {
            g_cancellable_cancel(call->cancellable);
            iterateUntilDone(call, kCancelGraceMs);
        }
        ResultPtr result(call->result ? G_ASYNC_RESULT(g_object_ref(call->result)) : nullptr);
        release(call);
        return result;
    }

private:
    bool iterateUntilDone(const Call *call, guint ms)
    {
        bool timeUp = false;
        GSource *timer = g_timeout_source_new(ms);
        g_source_set_callback(timer, &onTimeUp, &timeUp, nullptr);
        g_source_attach(timer, context);
        while (!call->result && !timeUp)
            g_main_context_iteration(context, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
        return call->result != nullptr;
    }

    GMainContext *context;
};

ServicePtr connectService(PrivateContext &context)
{
    if (!sessionBusKnown())
        return nullptr;
    const ResultPtr result = context.run(
            kReachMs, [](GCancellable *cancellable, GAsyncReadyCallback done, gpointer data) {
                secret_service_get(SECRET_SERVICE_OPEN_SESSION, cancellable, done, data);
            });
    if (!result)
        return nullptr;
    GError *error = nullptr;
    ServicePtr service(secret_service_get_finish(result.get(), &error));
    g_clear_error(&error);
    return service;
}

// libsecret's calls that act on the items matching a set of attributes.
using TargetCall = void (*)(SecretService *, const SecretSchema *, GHashTable *, GCancellable *,
                            GAsyncReadyCallback, gpointer);

// Runs `call` on the item of `target` and returns its result, or null when the
// service could not be reached or did not answer; `service` receives the service
// for the matching finish call.
ResultPtr runOnTarget(PrivateContext &context, ServicePtr *service, const QString &target,
                      TargetCall call)
{
    *service = connectService(context);
    if (!*service)
        return nullptr;
    const QByteArray targetUtf8 = target.toUtf8();
    // libsecret copies the attributes when the call starts.
    const AttributesPtr attributes(
            secret_attributes_build(passwordSchema(), "target", targetUtf8.constData(), nullptr));
    SecretService *serviceRaw = service->get();
    GHashTable *attributesRaw = attributes.get();
    return context.run(kCallMs,
                       [call, serviceRaw, attributesRaw](GCancellable *cancellable,
                                                         GAsyncReadyCallback done, gpointer data) {
                           call(serviceRaw, passwordSchema(), attributesRaw, cancellable, done,
                                data);
                       });
}

} // namespace

namespace CredentialBackend {

ReadResult read(const QString &target, QByteArray *secret)
{
    PrivateContext context;
    ServicePtr service;
    const ResultPtr result = runOnTarget(context, &service, target, &secret_service_lookup);
    if (!result)
        return ReadResult::Failed;
    GError *error = nullptr;
    SecretValue *value = secret_service_lookup_finish(service.get(), result.get(), &error);
    // Without an error, no value means no item of this target.
    const bool failed = error != nullptr;
    g_clear_error(&error);
    if (!value)
        return failed ? ReadResult::Failed : ReadResult::NotStored;
    gsize length = 0;
    const gchar *bytes = secret_value_get(value, &length);
    if (bytes && length > 0)
        secret->append(bytes, static_cast<qsizetype>(length));
    // The value's own memory is wiped when it is released.
    secret_value_unref(value);
    return ReadResult::Found;
}

bool write(const QString &target, const QString &user, const QByteArray &secret)
{
    PrivateContext context;
    const ServicePtr service = connectService(context);
    if (!service)
        return false;
    const QByteArray targetUtf8 = target.toUtf8();
    const QByteArray userUtf8 = user.toUtf8();
    const AttributesPtr attributes(secret_attributes_build(passwordSchema(), "target",
                                                           targetUtf8.constData(), "user",
                                                           userUtf8.constData(), nullptr));
    // libsecret copies the secret into memory of its own, wiped on release.
    SecretValue *value = secret_value_new(secret.constData(), secret.size(), "text/plain");
    SecretService *serviceRaw = service.get();
    GHashTable *attributesRaw = attributes.get();
    const char *label = targetUtf8.constData();
    const ResultPtr result = context.run(
            kCallMs,
            [serviceRaw, attributesRaw, value, label](GCancellable *cancellable,
                                                      GAsyncReadyCallback done, gpointer data) {
                secret_service_store(serviceRaw, passwordSchema(), attributesRaw,
                                     SECRET_COLLECTION_DEFAULT, label, value, cancellable, done,
                                     data);
            });
    secret_value_unref(value);
    if (!result)
        return false;
    GError *error = nullptr;
    const bool stored = secret_service_store_finish(serviceRaw, result.get(), &error);
    g_clear_error(&error);
    return stored;
}

bool remove(const QString &target)
{
    PrivateContext context;
    ServicePtr service;
    const ResultPtr result = runOnTarget(context, &service, target, &secret_service_clear);
    if (!result)
        return false;
    GError *error = nullptr;
    secret_service_clear_finish(service.get(), result.get(), &error);
    const bool answered = error == nullptr;
    g_clear_error(&error);
    return answered;
}

} // namespace CredentialBackend
