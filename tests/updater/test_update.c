/* Drives libUpdate the way the installer does: a request, then one poll per interval until the
 * state is 3, against upd_test_server.py. Arguments from run_update_test.py:
 * PORT WWW-DIR LIB-DIR WORK-DIR SERVER-LOG. Linked with libbwvutil statically, as the
 * installer may be: the client version checks read bwvinfo under the root this program sets,
 * so they show that its copy of bwv_set_root reaches the library. */
#define _GNU_SOURCE
#include <bwvutil/paths.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "upd.h"

static int g_port, g_failed, g_went_back, g_changes, g_dirs;
static const char *g_www, *g_libdir, *g_work, *g_log, *g_case = "";

#define EXPECT(c) ((c) ? (void)0 : (void)(g_failed++, fprintf(stderr, "%d: [%s] %s\n", __LINE__, g_case, #c)))

/* Texts live until the end (of a megabyte of them). */
static char *fmt(const char *format, ...) {
    static char arena[1 << 20];
    static size_t used;
    if (used > sizeof arena - 2048) used = 0;
    char *b = arena + used;
    va_list ap;
    va_start(ap, format);
    used += (size_t)vsnprintf(b, 2048, format, ap) + 1;
    va_end(ap);
    return b;
}

static const char *url(const char *path) { return fmt("http://127.0.0.1:%d/%s", g_port, path); }

static const char *xml(const char *s) {
    char *b = fmt("%1000s", ""), *o = b;
    for (; *s && o < b + 1000; ++s) o += *s == '&' ? sprintf(o, "&amp;") : sprintf(o, "%c", *s);
    return b;
}

static void put(const char *path, const char *text) {
    FILE *f = fopen(path, "w");
    EXPECT(f && fputs(text, f) >= 0 && fclose(f) == 0);
}

enum { kSize = 300000 };
static char g_sha[65];

/* A feed in the server's folder: the VPN entry as given (none without a version), and the
 * full client's 8.0.0 in img/full.dmg. */
static void feed(const char *name, const char *version, const char *image, long long size, const char *sha) {
    const char *entry =
        "<key>%s</key><dict><key>Version</key><string>%s</string><key>URL</key><string>%s</string>"
        "<key>Size</key><integer>%lld</integer><key>SHA256</key><string>%s</string></dict>";
    const char *vpn = version ? fmt(entry, "VPN", version, xml(image), size, sha) : "";
    const char *doc = fmt("<plist version=\"1.0\"><dict>%s%s</dict></plist>", vpn,
                          fmt(entry, "Full", "8.0.0", "img/full.dmg", (long long)kSize, g_sha));
    put(fmt("%s/%s", g_www, name), doc);
}

/* extra: more keys of the providers dictionary. */
static int providers(const char *first, const char *second, const char *extra) {
    const char *doc =
        fmt("<plist version=\"1.0\"><dict><key>FeedURLs</key><array><string>%s</string>%s</array>"
            "<key>ConnectTimeout</key><integer>5</integer>%s</dict></plist>",
            xml(first), second ? fmt("<string>%s</string>", xml(second)) : "", extra);
    put(fmt("%s/providers.plist", g_libdir), doc);
    return load_providers();
}

static void install_client(const char *bwvinfo) {
    const char *root = fmt("%s/root-%d", g_work, ++g_dirs);
    const char *conf = fmt("%s/Library/Application Support/Tarvenel/BrindleWave/conf", root);
    EXPECT(system(fmt("mkdir -p '%s'", conf)) == 0);
    if (bwvinfo) put(fmt("%s/bwvinfo", conf), bwvinfo);
    bwv_set_root(root);
}

static upd_result *run(int request) {
    upd_result *r = upd_check_bwn_update(request);
    int last = -1;
    g_went_back = g_changes = 0;
    for (int polls = 0; r && polls < 6000; ++polls, usleep(10000)) {
        r = upd_check_bwn_update(UPD_REQ_POLL);
        g_went_back |= r->progress < last;
        g_changes += r->progress != last;
        last = r->progress;
        if (r->state == UPD_STATE_DONE) return r;
        EXPECT(r->state == UPD_STATE_RUNNING);
    }
    fprintf(stderr, "[%s] request %d did not finish\n", g_case, request);
    exit(1);
}

static int entries(const char *dir) {
    FILE *p = popen(fmt("ls -A '%s' 2>/dev/null | wc -l", dir), "r");
    int n = -1;
    EXPECT(p && fscanf(p, "%d", &n) == 1 && pclose(p) == 0);
    return n;
}

static int is_image(const char *path) { return system(fmt("cmp -s '%s' '%s/img/a.dmg'", path, g_www)) == 0; }

/* How often the server saw a URL containing key; range gets the Range header of the
 * second such request. */
static int requests(const char *key, char range[64]) {
    FILE *f = fopen(g_log, "r");
    char line[2048];
    int n = 0;
    while (f && fgets(line, sizeof line, f))
        if (strstr(line, key) && ++n == 2 && range) sscanf(line, "%*s\t%63s", range);
    if (f) fclose(f);
    return n;
}

/* The https test server's certificate is trusted only while this names it: the library's
 * transfers pass through this definition on their way to libcurl's. */
static const char *g_trusted_ca;

CURLcode curl_easy_perform(CURL *curl) {
    static CURLcode (*real)(CURL *);
    if (!real) *(void **)&real = dlsym(RTLD_NEXT, "curl_easy_perform");
    if (g_trusted_ca) curl_easy_setopt(curl, CURLOPT_CAINFO, g_trusted_ca);
    return real(curl);
}

/* The user's message for a result: line -code of messages.txt, worded for the feed ("update") or the image
 * ("download"). */
static const char *text_for(int code, int image, int status) {
    char line[256] = "";
    FILE *f = fopen(BWV_UPD_MESSAGES, "r");
    for (int i = 0; f && i < -code && fgets(line, sizeof line, f); ++i) continue;
    if (f) fclose(f);
    line[strcspn(line, "\n")] = '\0';
    return code ? fmt(line, image ? "download" : "update", status) : "";
}

static void requests_before_setup_fail_cleanly(void) {
    g_case = "before setup";
    EXPECT(run(UPD_REQ_CHECK)->error_code == UPD_E_NOT_SET_UP);
    EXPECT(upd_check_bwn_update(99) == NULL && upd_check_bwn_update(0) == NULL);
    EXPECT(upd_init(NULL) == -1 && upd_init("") == -1 && upd_init(fmt("/%01000d", 0)) == -2);
    EXPECT(load_providers() == -2);
    EXPECT(providers("ftp://127.0.0.1/feed.plist", "file:///etc/passwd", "") == -3);
}

/* Where the feed comes from decides the check's outcome. The https server's certificate is
 * self-signed: unknown, it is refused; trusted, a redirect must still not leave https. */
static void checks_report_how_the_feed_was_fetched(void) {
    const char *tls = getenv("UPD_TEST_TLS_PORT"), *dead = "http://127.0.0.1:1/feed.plist";
    const struct {
        const char *first, *second, *extra;
        int trusted, code;
    } rows[] = {
        {dead, NULL, "", 0, UPD_E_UNREACHABLE},
        {dead, url("feed.plist"), "", 0, 0},
        {url("feed.plist?status=500"), NULL, "", 0, UPD_E_SERVER},
        {url("garbage.plist"), NULL, "", 0, UPD_E_BAD_FEED},
        {url("fullonly.plist"), NULL, "", 0, UPD_E_NO_ENTRY},
        {url("feed.plist?trickle=0&drops=100"), NULL, "<key>FeedTimeout</key><integer>2</integer>", 0,
         UPD_E_INTERRUPTED},
        {fmt("https://127.0.0.1:%s/feed.plist", tls), NULL, "", 0, UPD_E_TLS},
        {fmt("https://127.0.0.1:%s/redirect?to=/feed.plist", tls), NULL, "", 1, 0},
        {fmt("https://127.0.0.1:%s/redirect?to=%s", tls, url("feed.plist?id=plain")), NULL, "", 1, UPD_E_TLS},
    };
    put(fmt("%s/garbage.plist", g_www), "<html>oops</html>");
    feed("fullonly.plist", NULL, NULL, 0, NULL);
    install_client(NULL);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        g_case = rows[i].first;
        g_trusted_ca = rows[i].trusted ? getenv("UPD_TEST_TLS_CA") : NULL;
        EXPECT(providers(rows[i].first, rows[i].second, rows[i].extra) == 0);
        upd_result *r = run(UPD_REQ_CHECK);
        EXPECT(r->error_code == rows[i].code);
        EXPECT(!strcmp(r->error_text, text_for(rows[i].code, 0, 500)));
        EXPECT(!strcmp(r->version, rows[i].code ? "" : "7.4.1") && r->has_new_version == !rows[i].code);
    }
    g_trusted_ca = NULL;
    EXPECT(requests("id=plain", NULL) == 0);

    g_case = "a failed load keeps the providers loaded before";
    put(fmt("%s/providers.plist", g_libdir), "junk");
    EXPECT(load_providers() == -2 && run(UPD_REQ_CHECK)->error_code == UPD_E_TLS);
}

/* The client's version is read under this program's root. */
static void download_after_check_shows_progress(void) {
    EXPECT(providers(url("feed.plist"), NULL, "") == 0);
    install_client("version=7.10");
    EXPECT(run(UPD_REQ_CHECK)->has_new_version == 0);
    install_client("version=7.4.0\n");
    EXPECT(run(UPD_REQ_CHECK)->has_new_version == 1);
    const char *dir = fmt("%s/progress/nested", g_work);
    EXPECT(upd_init(dir) == 0);
    upd_result *r = upd_check_bwn_update(UPD_REQ_DOWNLOAD);
    /* The installer polls at once: neither the finished check nor a request made meanwhile
     * may show through. */
    EXPECT(r->state == UPD_STATE_RUNNING && upd_check_bwn_update(UPD_REQ_CHECK)->state == UPD_STATE_RUNNING);
    EXPECT(!strcmp(r->version, "7.4.1") && !strcmp(r->file_path, ""));
    r = run(UPD_REQ_POLL);
    EXPECT(r->error_code == 0 && r->progress == 500 && !g_went_back && g_changes >= 4);
    EXPECT(!strcmp(r->file_path, fmt("%s/a.dmg", dir)) && is_image(r->file_path) && entries(dir) == 1);
    /* The record stays as the last poll left it. */
    upd_result copy = *r;
    usleep(100000);
    EXPECT(upd_check_bwn_update(UPD_REQ_POLL) == r && memcmp(&copy, r, sizeof copy) == 0);
}

/* feed.plist offers 7.4.1. A download never takes the client installed when it starts back:
 * an upgrade only to a newer version, a person's download to none older (the same one
 * repairs the client). The check may have seen another client. */
static void downloads_never_go_back(void) {
    const char *older = "The offered version is older than the installed client.";
    const struct {
        const char *at_check, *at_download;
        int request, code;
        const char *text;
    } rows[] = {
        {"version=7.4.0", "version=7.4.0", UPD_REQ_DOWNLOAD, 0, ""},
        {"version=7.4.0", "version=7.4.1\n", UPD_REQ_DOWNLOAD, UPD_E_NOT_NEWER, "This version is already installed."},
        {"version=7.10", "version=7.10", UPD_REQ_DOWNLOAD, UPD_E_NOT_NEWER, older},
        {"version=7.10", "version=7.10", UPD_REQ_DOWNLOAD_LIGHT, UPD_E_NOT_NEWER, older},
        {"version=7.4.1", "version=7.4.1", UPD_REQ_DOWNLOAD_LIGHT, 0, ""},
    };
    EXPECT(providers(url("feed.plist"), NULL, "") == 0);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        g_case = fmt("%s then %s, request %d", rows[i].at_check, rows[i].at_download, rows[i].request);
        install_client(rows[i].at_check);
        EXPECT(run(UPD_REQ_CHECK)->error_code == 0);
        install_client(rows[i].at_download);
        const char *folder = fmt("%s/back-%zu", g_work, i);
        EXPECT(upd_init(folder) == 0);
        upd_result *r = run(rows[i].request);
        EXPECT(r->error_code == rows[i].code && !strcmp(r->error_text, rows[i].text));
        EXPECT(rows[i].code ? !r->file_path[0] && entries(folder) == 0 : is_image(r->file_path));
    }
}

/* The image in img/a.dmg served in many ways, fetched with request 8 into $F, a folder of $D
 * made as given: the outcome, how many requests the server saw and the second one's Range.
 * The image is checked and then used by its path, so a download folder that another account
 * made first or may write, or that sits in a folder others may write, is refused. */
static void downloads_resume_or_leave_nothing(void) {
    const struct {
        const char *query;
        long long size_off;
        int stall_1s, code, requests;
        const char *range, *folder;
    } rows[] = {
        {"drop=100000&drops=2&id=d1", 0, 0, 0, 3, "bytes=100000-", ""},
        {"nolength=1&drop=120000&id=d2", 0, 0, 0, 2, "bytes=120000-", ""},
        {"drop=100000&range=no&id=d3", 0, 0, 0, 3, "bytes=100000-", ""},
        {"drop=40000&drops=100&id=d4", 0, 0, UPD_E_INTERRUPTED, 4, "bytes=40000-", ""},
        {"stall=50000&id=d5", 0, 1, 0, 2, "bytes=50000-", ""},
        {"trickle=0&id=d6", 0, 1, 0, 2, "bytes=", ""},
        /* A few KiB/s is a drop in every stall window, while a slow honest line finishes. */
        {"throttle=4096&id=d13", 0, 1, UPD_E_INTERRUPTED, 4, "bytes=", ""},
        {"throttle=65536&id=d14", 0, 1, 0, 1, "", ""},
        {"corrupt=1&id=d7", 0, 0, UPD_E_DAMAGED, 1, "", ""},
        {"id=d9", 1, 0, UPD_E_DAMAGED, 2, "bytes=300000-", ""},
        {"id=d10", -1, 0, UPD_E_DAMAGED, 1, "", ""},
        {"id=d15", 4LL << 30, 0, UPD_E_BAD_FEED, 0, "", ""},
        {"status=404&id=d11", 0, 0, UPD_E_SERVER, 1, "", ""},
        {"id=d12", 0, 0, UPD_E_UNREACHABLE, 0, "", ""},
        {"id=s1", 0, 0, UPD_E_SAVE, 0, "", "mkdir -m 777 $F"},
        {"id=s2", 0, 0, UPD_E_SAVE, 0, "", "mkdir -m 1777 $F"},
        {"id=s3", 0, 0, UPD_E_SAVE, 0, "", "mkdir -m 700 $F && chown 54321:54321 $F"},
        {"id=s4", 0, 0, UPD_E_SAVE, 0, "", "mkdir $D/t && ln -s t $F"},
        {"id=s5", 0, 0, UPD_E_SAVE, 0, "", "chmod 777 $D"},
        {"id=s6", 0, 0, UPD_E_SAVE, 0, "", "chmod 755 $D && chown 54321:54321 $D"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        g_case = rows[i].query;
        if (strstr(rows[i].folder, "chown") && geteuid() != 0) continue; /* needs root */
        const char *folder = fmt("%s/dl-%zu/f", g_work, i);
        EXPECT(!system(fmt("F=%s; D=${F%%/f}; mkdir $D %s%s", folder, *rows[i].folder ? "&& " : "", rows[i].folder)));
        feed("d.plist", "7.6.0", fmt(strcmp(g_case, "id=d12") ? "img/a.dmg?%s" : "http://127.0.0.1:1/a.dmg?%s", g_case),
             kSize + rows[i].size_off, g_sha);
        EXPECT(!providers(url("d.plist"), NULL, rows[i].stall_1s ? "<key>StallTimeout</key><integer>1</integer>" : ""));
        EXPECT(upd_init(folder) == 0);
        upd_result *r = run(UPD_REQ_DOWNLOAD_LIGHT);
        EXPECT(r->error_code == rows[i].code && !strcmp(r->version, "7.6.0") && !g_went_back);
        EXPECT(!strcmp(r->error_text, text_for(rows[i].code, 1, 404)));
        EXPECT(rows[i].code ? !r->file_path[0] && entries(folder) == 0
                            : is_image(r->file_path) && entries(folder) == 1);
        char range[64] = "";
        EXPECT(requests(fmt("id=%s\t", strstr(g_case, "id=") + 3), range) == rows[i].requests);
        EXPECT(!strncmp(range, rows[i].range, strlen(rows[i].range)));
    }
}

static const char *slurp(const char *cmd) {
    char *b = fmt("%2000s", "");
    FILE *p = popen(cmd, "r");
    size_t n = p ? fread(b, 1, 2000, p) : 0;
    b[n] = '\0';
    EXPECT(p && pclose(p) == 0 && n > 0 && n < 2000);
    return b;
}

/* A feed signed with the key kN (made with the openssl command, as a publisher may): body
 * with Serial and Expires (a date), then the signature line; tail is appended after it. */
static const char *signed_feed(int key, int serial, const char *expires, const char *version, const char *tail) {
    const char *body =
        fmt("<plist version=\"1.0\"><dict><key>Serial</key><integer>%d</integer><key>Expires</key>"
            "<date>%s</date><key>VPN</key><dict><key>Version</key><string>%s</string><key>URL</key>"
            "<string>img/a.dmg</string><key>Size</key><integer>%d</integer><key>SHA256</key>"
            "<string>%s</string></dict></dict></plist>\n",
            serial, expires, version, kSize, g_sha);
    const char *file = fmt("%s/body.plist", g_work);
    put(file, body);
    const char *sig =
        slurp(fmt("openssl pkeyutl -sign -rawin -inkey %s/k%d.pem -in %s | base64 -w0", g_work, key, file));
    return fmt("%s<!-- bwv-signature ed25519 %s -->\n%s", body, sig, tail);
}

/* With FeedPublicKeys pinned, each request (1, 2 or 8) accepts only a feed signed by one of
 * them, unexpired and no older than the newest this user accepted; a refused one downloads
 * nothing. k1 and k2 are pinned (a key being rotated), k3 is not. */
static void pinned_keys_refuse_forged_expired_and_older_feeds(void) {
    for (int k = 1; k <= 3; ++k)
        EXPECT(system(fmt("cd %s && openssl genpkey -algorithm ed25519 -out k%d.pem && "
                          "openssl pkey -in k%d.pem -pubout -out k%d.pub",
                          g_work, k, k, k)) == 0);
    const char *later = "2060-01-01T00:00:00Z", *past = "2001-01-01T00:00:00Z";
    const char *good = signed_feed(1, 5, later, "7.8.0", "");
    const char *other = signed_feed(1, 5, later, "7.9.0", "");
    const char *swapped = fmt("%.*s%s", (int)(strstr(good, "<!--") - good), good, strstr(other, "<!--"));
    const struct {
        const char *what, *doc;
        int request, code;
    } rows[] = {
        {"signed by a pinned key", good, UPD_REQ_DOWNLOAD_LIGHT, 0},
        {"unsigned", fmt("%.*s", (int)(strstr(good, "<!--") - good), good), UPD_REQ_DOWNLOAD_LIGHT, UPD_E_UNSIGNED},
        {"signed by another key", signed_feed(3, 6, later, "7.8.0", ""), UPD_REQ_CHECK, UPD_E_SIGNATURE},
        {"another feed's signature", swapped, UPD_REQ_DOWNLOAD, UPD_E_SIGNATURE},
        {"text after the signature", fmt("%s<!-- -->\n", good), UPD_REQ_DOWNLOAD_LIGHT, UPD_E_SIGNATURE},
        {"expired", signed_feed(1, 6, past, "7.8.0", ""), UPD_REQ_DOWNLOAD_LIGHT, UPD_E_EXPIRED},
        {"the same serial again", good, UPD_REQ_CHECK, 0},
        {"the next key, a higher serial", signed_feed(2, 6, later, "7.8.0", ""), UPD_REQ_DOWNLOAD_LIGHT, 0},
        {"the first key's serial 5, now older", good, UPD_REQ_DOWNLOAD_LIGHT, UPD_E_OLDER},
    };
    const char *state = fmt("%s/state", g_work);
    const char *keys = fmt("<key>FeedPublicKeys</key><array><string>%s</string><string>%s</string></array>",
                           slurp(fmt("cat %s/k1.pub", g_work)), slurp(fmt("cat %s/k2.pub", g_work)));
    setenv("XDG_STATE_HOME", state, 1);
    install_client("version=7.0\n");
    EXPECT(providers(url("signed.plist"), NULL, keys) == 0);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        g_case = rows[i].what;
        const char *folder = fmt("%s/signed-%zu", g_work, i);
        put(fmt("%s/signed.plist", g_www), rows[i].doc);
        EXPECT(upd_init(folder) == 0);
        if (rows[i].request == UPD_REQ_DOWNLOAD) run(UPD_REQ_CHECK);
        upd_result *r = run(rows[i].request);
        EXPECT(r->error_code == rows[i].code && !strcmp(r->error_text, text_for(rows[i].code, 0, 0)));
        EXPECT(rows[i].request == UPD_REQ_CHECK
                   ? r->has_new_version == !rows[i].code
                   : entries(folder) == !rows[i].code && !!r->file_path[0] == !rows[i].code);
    }
    g_case = "the serial is the user's own";
    EXPECT(system(fmt("test \"$(stat -c %%a %s/bwvupdate)$(stat -c %%a %s/bwvupdate/feed-serial)\" = 700600 && "
                      "test \"$(cat %s/bwvupdate/feed-serial)\" = 6",
                      state, state, state)) == 0);
    EXPECT(system(fmt("mv %s/bwvupdate %s/moved && ln -s moved %s/bwvupdate", state, state, state)) == 0);
    EXPECT(run(UPD_REQ_CHECK)->error_code == UPD_E_STATE);
    g_case = "without pinned keys a signed feed reads as before";
    EXPECT(providers(url("signed.plist"), NULL, "") == 0 && run(UPD_REQ_CHECK)->has_new_version == 1);
    unsetenv("XDG_STATE_HOME");
}

/* Image URLs resolve against where the feed was found; a relative folder is made absolute.
 * Last, as it cannot be undone: the full installer's entry. */
static void redirected_feed_relative_folder_and_full_entry(void) {
    g_case = "redirected feed";
    EXPECT(system(fmt("mkdir -p %s/moved && cp %s/img/a.dmg %s/moved/here.dmg", g_www, g_www, g_www)) == 0);
    feed("moved/feed.plist", "7.7.0", "here.dmg", kSize, g_sha);
    EXPECT(providers(url("redirect?to=/moved/feed.plist"), NULL, "") == 0);
    EXPECT(chdir(g_work) == 0 && upd_init("relative/dl") == 0);
    upd_result *r = run(UPD_REQ_DOWNLOAD_LIGHT);
    EXPECT(!strcmp(r->file_path, fmt("%s/relative/dl/here.dmg", g_work)) && is_image(r->file_path));

    g_case = "full installer";
    EXPECT(providers(url("feed.plist"), NULL, "") == 0 && set_full_version() == 0);
    r = run(UPD_REQ_CHECK);
    EXPECT(r->has_new_version == 1 && !strcmp(r->version, "8.0.0"));
    r = run(UPD_REQ_DOWNLOAD);
    EXPECT(!strcmp(r->file_path, fmt("%s/relative/dl/full.dmg", g_work)) && is_image(r->file_path));
}

int main(int argc, char **argv) {
    if (argc != 6) return fprintf(stderr, "usage: %s PORT WWW LIBDIR WORK LOG\n", argv[0]), 2;
    g_port = atoi(argv[1]);
    g_www = argv[2], g_libdir = argv[3], g_work = argv[4], g_log = argv[5];
    FILE *sum = popen(fmt("cd %s && mkdir img && head -c %d /dev/urandom > img/a.dmg && cp img/a.dmg img/full.dmg && "
                          "sha256sum img/a.dmg",
                          g_www, kSize),
                      "r");
    if (!sum || fscanf(sum, "%64s", g_sha) != 1 || pclose(sum) != 0) return fprintf(stderr, "no image\n"), 2;
    feed("feed.plist", "7.4.1", "img/a.dmg?throttle=1048576", kSize, g_sha);

    requests_before_setup_fail_cleanly();
    checks_report_how_the_feed_was_fetched();
    download_after_check_shows_progress();
    downloads_never_go_back();
    downloads_resume_or_leave_nothing();
    pinned_keys_refuse_forged_expired_and_older_feeds();
    redirected_feed_relative_folder_and_full_entry();
    bwv_set_root(NULL);
    if (g_failed) fprintf(stderr, "%d expectation(s) failed\n", g_failed);
    return g_failed ? 1 : 0;
}
