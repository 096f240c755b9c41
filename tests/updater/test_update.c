/* Drives libUpdate the way the installer does: a request, then one poll per interval
 * until the state is 3. Arguments from run_update_test.py:
 * PORT WWW-DIR LIB-DIR WORK-DIR SERVER-LOG [exit-mid-download]
 * The client version checks read bwvinfo under a root set through libbwvutil, so they
 * also show that the program's copy of bwv_set_root reaches the library. */
#define _GNU_SOURCE
#include <bwvutil/paths.h>
#include <curl/curl.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "upd.h"

static int g_port;
static const char *g_www, *g_libdir, *g_work, *g_log;
static const char *g_case = "";
static int g_failed;

#define EXPECT(cond)                                                                     \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            g_failed++;                                                                  \
            fprintf(stderr, "%s:%d: [%s] expected %s\n", __FILE__, __LINE__, g_case, #cond); \
        }                                                                                \
    } while (0)

#define EXPECT_STR(a, b)                                                                  \
    do {                                                                                  \
        const char *a_ = (a), *b_ = (b);                                                  \
        if (strcmp(a_, b_) != 0) {                                                        \
            g_failed++;                                                                   \
            fprintf(stderr, "%s:%d: [%s] %s is \"%s\", expected \"%s\"\n", __FILE__, __LINE__, \
                    g_case, #a, a_, b_);                                                  \
        }                                                                                 \
    } while (0)

static char *fmt(const char *format, ...) {
    static char bufs[16][1024];
    static int next;
    char *b = bufs[next++ % 16];
    va_list ap;
    va_start(ap, format);
    vsnprintf(b, sizeof bufs[0], format, ap);
    va_end(ap);
    return b;
}

static const char *server_url(const char *path) {
    return fmt("http://127.0.0.1:%d/%s", g_port, path);
}

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static void make_dirs(const char *path) {
    char buf[1024];
    snprintf(buf, sizeof buf, "%s", path);
    for (char *p = buf + 1; *p; ++p) {
        if (*p == '/') {
            *p = '\0';
            mkdir(buf, 0755);
            *p = '/';
        }
    }
    mkdir(buf, 0755);
}

static void write_file(const char *path, const void *data, size_t len) {
    char dir[1024];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (slash) {
        *slash = '\0';
        make_dirs(dir);
    }
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(data, 1, len, f) != len || fclose(f) != 0) {
        fprintf(stderr, "cannot write %s\n", path);
        exit(2);
    }
}

static unsigned char *read_file(const char *path, size_t *len) {
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char *data = malloc(n > 0 ? (size_t)n : 1);
    *len = fread(data, 1, (size_t)n, f);
    fclose(f);
    return data;
}

static int count_entries(const char *dir) {
    DIR *d = opendir(dir);
    if (!d) return 0;
    int n = 0;
    struct dirent *e;
    while ((e = readdir(d)) != NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) n++;
    closedir(d);
    return n;
}

typedef struct {
    char path[512]; /* under the server's folder */
    size_t size;
    char sha[65];
    unsigned char *data;
} image;

static void make_image(image *img, const char *path, size_t size, unsigned seed) {
    snprintf(img->path, sizeof img->path, "%s", path);
    img->size = size;
    img->data = malloc(size);
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        img->data[i] = (unsigned char)(x >> 16);
    }
    write_file(fmt("%s/%s", g_www, path), img->data, size);
    unsigned char md[32];
    unsigned int mdlen = 0;
    EVP_Digest(img->data, size, md, &mdlen, EVP_sha256(), NULL);
    for (int i = 0; i < 32; ++i) sprintf(img->sha + 2 * i, "%02x", md[i]);
}

static void free_image(image *img) {
    free(img->data);
    img->data = NULL;
}

typedef struct {
    const char *version;
    const char *url;
    long long size;
    const char *sha;
} entry;

static void xml_escaped(FILE *f, const char *s) {
    for (; *s; ++s) {
        if (*s == '&') fputs("&amp;", f);
        else if (*s == '<') fputs("&lt;", f);
        else fputc(*s, f);
    }
}

static void write_entry(FILE *f, const char *key, const entry *e) {
    if (!e) return;
    fprintf(f, "\t<key>%s</key>\n\t<dict>\n\t\t<key>Version</key>\n\t\t<string>%s</string>\n", key,
            e->version);
    fputs("\t\t<key>URL</key>\n\t\t<string>", f);
    xml_escaped(f, e->url);
    fprintf(f, "</string>\n\t\t<key>Size</key>\n\t\t<integer>%lld</integer>\n", e->size);
    fprintf(f, "\t\t<key>SHA256</key>\n\t\t<string>%s</string>\n\t</dict>\n", e->sha);
}

static void write_feed(const char *path, const entry *full, const entry *vpn) {
    const char *file = fmt("%s/%s", g_www, path);
    write_file(file, "", 0);
    FILE *f = fopen(file, "w");
    fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n", f);
    write_entry(f, "Full", full);
    write_entry(f, "VPN", vpn);
    fputs("</dict>\n</plist>\n", f);
    fclose(f);
}

/* extra: more keys of the providers dictionary, as XML. */
static int use_providers(const char *first, const char *second, const char *extra) {
    const char *file = fmt("%s/providers.plist", g_libdir);
    FILE *f = fopen(file, "w");
    fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
          "\t<key>FeedURLs</key>\n\t<array>\n", f);
    for (const char *const *url = (const char *const[]){first, second, NULL}; *url; ++url) {
        fputs("\t\t<string>", f);
        xml_escaped(f, *url);
        fputs("</string>\n", f);
    }
    fputs("\t</array>\n", f);
    fputs("\t<key>ConnectTimeout</key>\n\t<integer>5</integer>\n", f);
    if (extra) fprintf(f, "\t%s\n", extra);
    fputs("</dict>\n</plist>\n", f);
    fclose(f);
    return load_providers();
}

/* A port on 127.0.0.1 that nothing listens on. */
static int dead_port(void) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, (struct sockaddr *)&a, sizeof a);
    getsockname(s, (struct sockaddr *)&a, &len);
    close(s);
    return ntohs(a.sin_port);
}

static int g_roots;

/* A fresh client root; bwvinfo written in conf/ and/or the support folder when given. */
static void install_client(const char *conf_text, const char *support_text) {
    const char *root = fmt("%s/root-%d", g_work, ++g_roots);
    const char *support = fmt("%s/Library/Application Support/Tarvenel/BrindleWave", root);
    make_dirs(support);
    if (conf_text) write_file(fmt("%s/conf/bwvinfo", support), conf_text, strlen(conf_text));
    if (support_text) write_file(fmt("%s/bwvinfo", support), support_text, strlen(support_text));
    bwv_set_root(root);
}

static int g_folders;

/* A download folder of its own for each download, so leftovers are easy to see. */
static const char *new_download_folder(void) {
    const char *dir = fmt("%s/downloads-%d/nested", g_work, ++g_folders);
    EXPECT(upd_init(dir) == 0);
    return dir;
}

typedef struct {
    int went_back;     /* progress ever decreased */
    int changes;       /* distinct progress values seen */
    int finished_at_once;
    double seconds;
} run_info;

static upd_result *run(int request, run_info *info) {
    run_info local;
    if (!info) info = &local;
    memset(info, 0, sizeof *info);
    double start = now_s();
    upd_result *r = upd_check_bwn_update(request);
    EXPECT(r != NULL);
    if (!r) return NULL;
    int last = -1;
    for (int polls = 0;; ++polls) {
        r = upd_check_bwn_update(UPD_REQ_POLL);
        if (r->progress < last) info->went_back = 1;
        if (r->progress != last) info->changes++;
        last = r->progress;
        if (r->state == UPD_STATE_DONE) {
            info->finished_at_once = polls == 0;
            break;
        }
        EXPECT(r->state == UPD_STATE_RUNNING);
        if (now_s() - start > 60) {
            EXPECT(!"request finished within a minute");
            break;
        }
        usleep(10000);
    }
    info->seconds = now_s() - start;
    return r;
}

static int file_matches(const char *path, const image *img) {
    size_t len = 0;
    unsigned char *data = read_file(path, &len);
    int same = data && len == img->size && memcmp(data, img->data, len) == 0;
    free(data);
    return same;
}

/* Lines of the server log for requests whose URL contains key; ranges[] gets the Range
 * header of each ("-" when none). */
static int server_requests(const char *key, char ranges[][64], int max) {
    FILE *f = fopen(g_log, "r");
    if (!f) return 0;
    char line[2048];
    int n = 0;
    while (fgets(line, sizeof line, f)) {
        if (!strstr(line, key)) continue;
        char *tab = strchr(line, '\t');
        if (ranges && n < max && tab) {
            char *end = strchr(tab + 1, '\t');
            if (end) *end = '\0';
            snprintf(ranges[n], 64, "%s", tab + 1);
        }
        n++;
    }
    fclose(f);
    return n;
}

/* The https test server's certificate is trusted only while a case names it here: the
 * library's transfers pass through this definition on their way to libcurl's. Set before
 * a request starts, so the library's worker thread sees it. */
static const char *g_trusted_ca;

CURLcode curl_easy_perform(CURL *curl) {
    static CURLcode (*real)(CURL *);
    if (!real) *(void **)&real = dlsym(RTLD_NEXT, "curl_easy_perform");
    if (g_trusted_ca) curl_easy_setopt(curl, CURLOPT_CAINFO, g_trusted_ca);
    return real(curl);
}

/* ---- cases ---- */

static void requests_before_setup_fail_cleanly(void) {
    upd_result *r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_NOT_SET_UP);
    EXPECT_STR(r->error_text, "No update server is configured.");

    EXPECT(upd_check_bwn_update(99) == NULL);
    EXPECT(upd_check_bwn_update(0) == NULL);
    EXPECT(upd_init(NULL) == -1);
    EXPECT(upd_init("") == -1);
    char long_path[1100];
    memset(long_path, 'a', sizeof long_path - 1);
    long_path[0] = '/';
    long_path[sizeof long_path - 1] = '\0';
    EXPECT(upd_init(long_path) == -2);
    EXPECT(load_providers() == -2);

    EXPECT(use_providers("ftp://127.0.0.1/feed.plist", "file:///etc/passwd", NULL) == -3);
    write_file(fmt("%s/providers.plist", g_libdir), "not a plist", 11);
    EXPECT(load_providers() == -2);
}

static image g_vpn, g_full;

static void publish_default_feed(void) {
    make_image(&g_vpn, "img/BrindleWave-7.4.1.dmg", 256 * 1024, 1);
    make_image(&g_full, "img/BrindleWaveFull-8.0.0.dmg", 192 * 1024, 2);
    entry vpn = {"7.4.1", "img/BrindleWave-7.4.1.dmg?throttle=1048576", (long long)g_vpn.size,
                 g_vpn.sha};
    entry full = {"8.0.0", "img/BrindleWaveFull-8.0.0.dmg?throttle=1048576",
                  (long long)g_full.size, g_full.sha};
    write_feed("feed.plist", &full, &vpn);
    EXPECT(use_providers(server_url("feed.plist"), NULL, NULL) == 0);
}

static void check_offers(const char *conf, const char *support, int expect_new, const char *what) {
    g_case = what;
    if (conf || support) install_client(conf, support);
    else install_client(NULL, NULL);
    upd_result *r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == 0);
    EXPECT_STR(r->error_text, "");
    EXPECT(r->has_new_version == expect_new);
    EXPECT_STR(r->version, "7.4.1");
}

static void check_compares_with_installed_client(void) {
    check_offers(NULL, NULL, 1, "no client installed");
    check_offers("version=7.4.0\n", NULL, 1, "older client");
    check_offers("version=7.4.1\n", NULL, 0, "same client");
    check_offers("version=7.4.1", NULL, 0, "same client, no line break");
    check_offers("version=7.4.2\n", NULL, 0, "newer client");
    check_offers("product=x\nversion=7.10\nbuild=3\n", NULL, 0, "7.10 is newer than 7.4.1");
    check_offers("version=7.4\n", NULL, 1, "7.4 is 7.4.0");
    check_offers("version=7.4.1.0\n", NULL, 0, "trailing zero piece");
    check_offers("version=6.99.99\n", NULL, 1, "major decides");
    check_offers(NULL, "version=7.3.9\n", 1, "support folder read when conf has none");
    check_offers(NULL, "version=9.0\n", 0, "support folder newer");
    check_offers("version=7.3\n", "version=9.0\n", 1, "conf folder first");
    check_offers("", "version=9.0\n", 1, "a conf file without version= counts as no client");
}

static void download_after_check_rises_to_500(void) {
    g_case = "download after check";
    install_client("version=7.0.0\n", NULL);
    upd_result *r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->has_new_version == 1);

    const char *dir = new_download_folder();
    r = upd_check_bwn_update(UPD_REQ_DOWNLOAD);
    /* The installer polls at once; the finished check must not show through. */
    EXPECT(r->state != UPD_STATE_DONE);
    r = upd_check_bwn_update(UPD_REQ_POLL);
    EXPECT(r->state != UPD_STATE_DONE);
    EXPECT_STR(r->version, "7.4.1");
    EXPECT_STR(r->file_path, "");

    run_info info;
    r = run(UPD_REQ_POLL, &info);
    EXPECT(r->error_code == 0);
    EXPECT(r->progress == 500);
    EXPECT(!info.went_back);
    EXPECT(info.changes >= 4);
    EXPECT_STR(r->version, "7.4.1");
    EXPECT_STR(r->file_path, fmt("%s/BrindleWave-7.4.1.dmg", dir));
    EXPECT(r->file_path[0] == '/');
    EXPECT(file_matches(r->file_path, &g_vpn));
    EXPECT(count_entries(dir) == 1);
}

static void light_download_fetches_feed_itself(void) {
    g_case = "light-installer download, absolute URL";
    image img;
    make_image(&img, "abs/light.dmg", 100000, 3);
    entry vpn = {"7.5.0", server_url("abs/light.dmg"), (long long)img.size, img.sha};
    write_feed("light.plist", NULL, &vpn);
    EXPECT(use_providers(server_url("light.plist"), NULL, NULL) == 0);

    const char *dir = new_download_folder();
    run_info info;
    upd_result *r = run(UPD_REQ_DOWNLOAD_LIGHT, &info);
    EXPECT(r->error_code == 0);
    EXPECT(r->progress == 500);
    EXPECT(!info.went_back);
    EXPECT_STR(r->version, "7.5.0");
    EXPECT_STR(r->file_path, fmt("%s/light.dmg", dir));
    EXPECT(file_matches(r->file_path, &img));

    /* The record stays as the last poll left it; nothing writes it behind our back. */
    upd_result copy = *r;
    usleep(100000);
    EXPECT(memcmp(&copy, r, sizeof copy) == 0);
    EXPECT(upd_check_bwn_update(UPD_REQ_POLL) == r);
    EXPECT(memcmp(&copy, r, sizeof copy) == 0);
    free_image(&img);
}

/* Serves img under a query and downloads it with request 8; returns the final record. */
static upd_result *download_variant(const image *img, const char *query, const char *digest,
                                    long long size, const char **dir_out, run_info *info) {
    entry vpn = {"7.6.0", fmt("%s?%s", img->path, query), size, digest ? digest : img->sha};
    write_feed("variant.plist", NULL, &vpn);
    EXPECT(use_providers(server_url("variant.plist"), NULL, NULL) == 0);
    *dir_out = new_download_folder();
    return run(UPD_REQ_DOWNLOAD_LIGHT, info);
}

static void dropped_download_resumes_with_ranges(void) {
    g_case = "resume after drop";
    image img;
    make_image(&img, "img/resume.dmg", 300000, 4);
    const char *dir;
    run_info info;
    upd_result *r = download_variant(&img, "drop=100000&drops=2&id=resume1", NULL,
                                     (long long)img.size, &dir, &info);
    EXPECT(r->error_code == 0);
    EXPECT(!info.went_back);
    EXPECT(r->progress == 500);
    EXPECT(file_matches(r->file_path, &img));
    char ranges[8][64];
    EXPECT(server_requests("id=resume1", ranges, 8) == 3);
    EXPECT_STR(ranges[0], "-");
    EXPECT_STR(ranges[1], "bytes=100000-");
    EXPECT_STR(ranges[2], "bytes=200000-");

    g_case = "resume when a body without length ends early";
    r = download_variant(&img, "nolength=1&drop=120000&id=nolength", NULL, (long long)img.size,
                         &dir, &info);
    EXPECT(r->error_code == 0);
    EXPECT(file_matches(r->file_path, &img));
    EXPECT(server_requests("id=nolength", ranges, 8) == 2);
    EXPECT_STR(ranges[1], "bytes=120000-");

    g_case = "restart when ranges are refused";
    r = download_variant(&img, "drop=100000&range=no&id=norange", NULL, (long long)img.size, &dir,
                         &info);
    EXPECT(r->error_code == 0);
    EXPECT(!info.went_back);
    EXPECT(file_matches(r->file_path, &img));
    EXPECT(count_entries(dir) == 1);

    g_case = "gives up after three resumes";
    r = download_variant(&img, "drop=40000&drops=100&id=always", NULL, (long long)img.size, &dir,
                         &info);
    EXPECT(r->error_code == UPD_E_INTERRUPTED);
    EXPECT_STR(r->error_text, "The download was interrupted.");
    EXPECT_STR(r->file_path, "");
    EXPECT(server_requests("id=always", NULL, 0) == 4);
    EXPECT(count_entries(dir) == 0);
    free_image(&img);
}

static void stalled_download_times_out_and_resumes(void) {
    g_case = "stall";
    image img;
    make_image(&img, "img/stall.dmg", 120000, 5);
    entry vpn = {"7.6.1", "img/stall.dmg?stall=50000&id=stall1", (long long)img.size, img.sha};
    write_feed("stall.plist", NULL, &vpn);
    EXPECT(use_providers(server_url("stall.plist"), NULL,
                         "<key>StallTimeout</key><integer>1</integer>") == 0);
    new_download_folder();
    run_info info;
    upd_result *r = run(UPD_REQ_DOWNLOAD_LIGHT, &info);
    EXPECT(r->error_code == 0);
    EXPECT(file_matches(r->file_path, &img));
    EXPECT(info.seconds >= 0.9);
    char ranges[4][64];
    EXPECT(server_requests("id=stall1", ranges, 4) == 2);
    EXPECT_STR(ranges[1], "bytes=50000-");
    free_image(&img);
}

/* A server that sends a byte now and then never stalls; the feed still has its deadline
 * and the image its minimum rate, after which the download resumes as after a drop. */
static void trickling_servers_are_given_up(void) {
    g_case = "feed trickling in";
    EXPECT(use_providers(server_url("feed.plist?trickle=0&drops=100"), NULL,
                         "<key>FeedTimeout</key><integer>2</integer>") == 0);
    upd_result *r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_INTERRUPTED);

    g_case = "image trickling in";
    image img;
    make_image(&img, "img/trickle.dmg", 60000, 9);
    entry vpn = {"7.6.2", "img/trickle.dmg?trickle=0&id=trickle1", (long long)img.size, img.sha};
    write_feed("trickle.plist", NULL, &vpn);
    EXPECT(use_providers(server_url("trickle.plist"), NULL,
                         "<key>StallTimeout</key><integer>1</integer>") == 0);
    new_download_folder();
    r = run(UPD_REQ_DOWNLOAD_LIGHT, NULL);
    EXPECT(r->error_code == 0);
    EXPECT(file_matches(r->file_path, &img));
    char ranges[4][64];
    EXPECT(server_requests("id=trickle1", ranges, 4) == 2);
    EXPECT(strncmp(ranges[1], "bytes=", 6) == 0);
    free_image(&img);
}

static void damaged_image_leaves_nothing(void) {
    image img;
    make_image(&img, "img/damaged.dmg", 150000, 6);
    const char *dir;
    upd_result *r;

    g_case = "corrupted bytes";
    r = download_variant(&img, "corrupt=1&id=c1", NULL, (long long)img.size, &dir, NULL);
    EXPECT(r->error_code == UPD_E_DAMAGED);
    EXPECT_STR(r->error_text, "The downloaded disk image is damaged.");
    EXPECT_STR(r->file_path, "");
    EXPECT(count_entries(dir) == 0);

    g_case = "wrong hash in feed";
    r = download_variant(&img, "id=c2",
                         "0000000000000000000000000000000000000000000000000000000000000000",
                         (long long)img.size, &dir, NULL);
    EXPECT(r->error_code == UPD_E_DAMAGED);
    EXPECT(count_entries(dir) == 0);

    g_case = "image shorter than announced";
    r = download_variant(&img, "id=c3", NULL, (long long)img.size + 1, &dir, NULL);
    EXPECT(r->error_code == UPD_E_DAMAGED);
    EXPECT(count_entries(dir) == 0);

    g_case = "image longer than announced";
    r = download_variant(&img, "id=c4", NULL, (long long)img.size - 1, &dir, NULL);
    EXPECT(r->error_code == UPD_E_DAMAGED);
    EXPECT(count_entries(dir) == 0);

    g_case = "image missing on the server";
    r = download_variant(&img, "status=404&id=c5", NULL, (long long)img.size, &dir, NULL);
    EXPECT(r->error_code == UPD_E_SERVER);
    EXPECT_STR(r->error_text, "The download server answered with error 404.");
    EXPECT(strlen(r->error_text) < 64);
    EXPECT(count_entries(dir) == 0);
    free_image(&img);
}

static void feed_problems_are_reported(void) {
    g_case = "unreachable server";
    int port = dead_port();
    EXPECT(use_providers(fmt("http://127.0.0.1:%d/feed.plist", port), NULL, NULL) == 0);
    upd_result *r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_UNREACHABLE);
    EXPECT_STR(r->error_text, "Cannot reach the update server.");
    EXPECT(r->has_new_version == 0);
    const char *dir = new_download_folder();
    r = run(UPD_REQ_DOWNLOAD_LIGHT, NULL);
    EXPECT_STR(r->error_text, "Cannot reach the update server.");
    EXPECT(count_entries(dir) == 0);

    g_case = "second provider used when the first fails";
    EXPECT(use_providers(fmt("http://127.0.0.1:%d/feed.plist", port), server_url("feed.plist"), NULL) == 0);
    install_client(NULL, NULL);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == 0);
    EXPECT_STR(r->version, "7.4.1");

    g_case = "server error on the feed";
    EXPECT(use_providers(server_url("feed.plist?status=500"), NULL, NULL) == 0);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_SERVER);
    EXPECT(strstr(r->error_text, "500") != NULL);

    g_case = "feed that is no property list";
    write_file(fmt("%s/garbage.plist", g_www), "<html>oops</html>", 17);
    EXPECT(use_providers(server_url("garbage.plist"), NULL, NULL) == 0);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_BAD_FEED);
    EXPECT_STR(r->error_text, "The update information is invalid.");

    g_case = "feed without an entry for this client";
    entry full = {"8.0.0", "x.dmg", 10, g_full.sha};
    write_feed("fullonly.plist", &full, NULL);
    EXPECT(use_providers(server_url("fullonly.plist"), NULL, NULL) == 0);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_NO_ENTRY);
    EXPECT_STR(r->error_text, "No update is offered for this client.");

    g_case = "a failed load keeps the providers loaded before";
    EXPECT(use_providers(server_url("feed.plist"), NULL, NULL) == 0);
    write_file(fmt("%s/providers.plist", g_libdir), "junk", 4);
    EXPECT(load_providers() == -2);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == 0);
}

static void https_is_verified_and_kept(void) {
    const char *tls_port = getenv("UPD_TEST_TLS_PORT");
    if (!tls_port) {
        printf("(no https server: openssl missing)\n");
        return;
    }
    g_case = "self-signed https server";
    EXPECT(use_providers(fmt("https://127.0.0.1:%s/feed.plist", tls_port), NULL, NULL) == 0);
    upd_result *r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_TLS);
    EXPECT_STR(r->error_text, "Cannot verify the update server's identity.");

    g_trusted_ca = getenv("UPD_TEST_TLS_CA");
    g_case = "trusted https feed redirected within https";
    EXPECT(use_providers(fmt("https://127.0.0.1:%s/redirect?to=/feed.plist", tls_port), NULL,
                         NULL) == 0);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == 0);

    g_case = "trusted https feed redirected to plain http";
    int plain_fetches = server_requests("/feed.plist\t", NULL, 0);
    EXPECT(use_providers(fmt("https://127.0.0.1:%s/redirect?to=%s", tls_port,
                             server_url("feed.plist")),
                         NULL, NULL) == 0);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->error_code == UPD_E_TLS);
    EXPECT(server_requests("/feed.plist\t", NULL, 0) == plain_fetches);
    g_trusted_ca = NULL;
}

static void redirected_feed_resolves_relative_urls(void) {
    g_case = "redirected feed, relative image";
    image img;
    make_image(&img, "moved/here.dmg", 50000, 7);
    entry vpn = {"7.7.0", "here.dmg", (long long)img.size, img.sha};
    write_feed("moved/feed.plist", NULL, &vpn);
    EXPECT(use_providers(server_url("redirect?to=/moved/feed.plist"), NULL, NULL) == 0);
    const char *dir = new_download_folder();
    upd_result *r = run(UPD_REQ_DOWNLOAD_LIGHT, NULL);
    EXPECT(r->error_code == 0);
    EXPECT_STR(r->file_path, fmt("%s/here.dmg", dir));
    EXPECT(file_matches(r->file_path, &img));
    free_image(&img);
}

static void relative_folder_gives_absolute_path(void) {
    g_case = "relative download folder";
    EXPECT(use_providers(server_url("light.plist"), NULL, NULL) == 0);
    char cwd[1024];
    EXPECT(getcwd(cwd, sizeof cwd) != NULL);
    EXPECT(chdir(g_work) == 0);
    EXPECT(upd_init("relative/dl") == 0);
    EXPECT(chdir(cwd) == 0);
    upd_result *r = run(UPD_REQ_DOWNLOAD_LIGHT, NULL);
    EXPECT(r->error_code == 0);
    EXPECT_STR(r->file_path, fmt("%s/relative/dl/light.dmg", g_work));
}

/* The image is checked and then used by its path, so a download folder that another
 * account made first or may write, or that sits in a folder others may write, is refused
 * before anything is written. */
static void shared_download_folder_is_refused(void) {
    static const struct {
        const char *name;
        int mode;     /* of the folder; the parent's with parent_only */
        int foreign;  /* made by another account */
        int link;     /* a link to a private folder */
        int parent_only;
    } cases[] = {
        {"others may write", 0777, 0, 0, 0},
        {"sticky, others may write", 01777, 0, 0, 0},
        {"another account's", 0700, 1, 0, 0},
        {"a link", 0700, 0, 1, 0},
        {"parent others may write", 0777, 0, 0, 1},
    };
    EXPECT(use_providers(server_url("light.plist"), NULL, 0) == 0);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        g_case = cases[i].name;
        if (cases[i].foreign && geteuid() != 0) {
            printf("skipped [%s]: needs root to give a folder to another account\n", g_case);
            continue;
        }
        const char *base = fmt("%s/shared-%zu", g_work, i);
        const char *dir = cases[i].parent_only ? fmt("%s/dl", base) : base;
        const char *looked_at = cases[i].link ? fmt("%s-target", base) : dir;
        EXPECT(mkdir(cases[i].link ? looked_at : base, 0700) == 0);
        if (cases[i].link) EXPECT(symlink(looked_at, dir) == 0);
        EXPECT(chmod(base, (mode_t)cases[i].mode) == 0);
        if (cases[i].foreign) EXPECT(chown(base, 54321, 54321) == 0);
        EXPECT(upd_init(dir) == 0);
        upd_result *r = run(UPD_REQ_DOWNLOAD_LIGHT, NULL);
        EXPECT(r->error_code == UPD_E_SAVE);
        EXPECT_STR(r->file_path, "");
        EXPECT(count_entries(looked_at) == 0);
    }
}

static void request_while_busy_is_ignored(void) {
    g_case = "request while busy";
    EXPECT(use_providers(server_url("feed.plist"), NULL, NULL) == 0);
    const char *dir = new_download_folder();
    upd_result *r = upd_check_bwn_update(UPD_REQ_DOWNLOAD_LIGHT);
    r = upd_check_bwn_update(UPD_REQ_CHECK);
    EXPECT(r->state == UPD_STATE_RUNNING);
    r = run(UPD_REQ_POLL, NULL);
    EXPECT(r->error_code == 0);
    EXPECT_STR(r->file_path, fmt("%s/BrindleWave-7.4.1.dmg", dir));
}

/* Child side: start a slow download, then end the process while it runs. */
static int exit_mid_download(void) {
    image img;
    make_image(&img, "img/slow.dmg", 2 * 1024 * 1024, 8);
    entry vpn = {"7.8.0", "img/slow.dmg?throttle=262144", (long long)img.size, img.sha};
    write_feed("slow.plist", NULL, &vpn);
    free_image(&img);
    if (use_providers(server_url("slow.plist"), NULL, NULL) != 0) return 3;
    if (upd_init(fmt("%s/exit-download", g_work)) != 0) return 3;
    upd_result *r = upd_check_bwn_update(UPD_REQ_DOWNLOAD_LIGHT);
    for (int i = 0; i < 1000 && r->progress == 0; ++i) {
        usleep(10000);
        r = upd_check_bwn_update(UPD_REQ_POLL);
    }
    return r->progress > 0 && r->state == UPD_STATE_RUNNING ? 0 : 4;
}

static const char *g_self;

static void exit_during_download_leaves_nothing(void) {
    const char *self = g_self;
    g_case = "process ends during a download";
    char *args[] = {(char *)self, fmt("%d", g_port), (char *)g_www, (char *)g_libdir,
                    (char *)g_work, (char *)g_log, "exit-mid-download", NULL};
    pid_t pid;
    extern char **environ;
    EXPECT(posix_spawn(&pid, self, NULL, NULL, args, environ) == 0);
    int status = -1;
    double start = now_s();
    while (waitpid(pid, &status, WNOHANG) == 0 && now_s() - start < 30) usleep(10000);
    EXPECT(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT(now_s() - start < 5);
    EXPECT(count_entries(fmt("%s/exit-download", g_work)) == 0);
}

/* Last: the full installer's choice cannot be undone. */
static void full_installer_uses_full_entry(void) {
    g_case = "full installer";
    EXPECT(use_providers(server_url("feed.plist"), NULL, NULL) == 0);
    install_client("version=7.4.1\n", NULL);
    upd_result *r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->has_new_version == 0);
    EXPECT_STR(r->version, "7.4.1");

    EXPECT(set_full_version() == 0);
    r = run(UPD_REQ_CHECK, NULL);
    EXPECT(r->has_new_version == 1);
    EXPECT_STR(r->version, "8.0.0");

    const char *dir = new_download_folder();
    r = run(UPD_REQ_DOWNLOAD, NULL);
    EXPECT(r->error_code == 0);
    EXPECT_STR(r->version, "8.0.0");
    EXPECT_STR(r->file_path, fmt("%s/BrindleWaveFull-8.0.0.dmg", dir));
    EXPECT(file_matches(r->file_path, &g_full));
}

#define RUN_CASE(fn)                                          \
    do {                                                      \
        double t0_ = now_s();                                 \
        fn();                                                 \
        printf("%-45s %6.2f s\n", #fn, now_s() - t0_);        \
    } while (0)

int main(int argc, char **argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: %s PORT WWW LIBDIR WORK LOG [exit-mid-download]\n", argv[0]);
        return 2;
    }
    g_port = atoi(argv[1]);
    g_www = argv[2];
    g_libdir = argv[3];
    g_work = argv[4];
    g_log = argv[5];
    g_self = argv[0];

    if (argc > 6 && strcmp(argv[6], "exit-mid-download") == 0) return exit_mid_download();

    RUN_CASE(requests_before_setup_fail_cleanly);
    RUN_CASE(publish_default_feed);
    RUN_CASE(check_compares_with_installed_client);
    RUN_CASE(download_after_check_rises_to_500);
    RUN_CASE(light_download_fetches_feed_itself);
    RUN_CASE(dropped_download_resumes_with_ranges);
    RUN_CASE(stalled_download_times_out_and_resumes);
    RUN_CASE(trickling_servers_are_given_up);
    RUN_CASE(damaged_image_leaves_nothing);
    RUN_CASE(feed_problems_are_reported);
    RUN_CASE(https_is_verified_and_kept);
    RUN_CASE(redirected_feed_resolves_relative_urls);
    RUN_CASE(relative_folder_gives_absolute_path);
    RUN_CASE(shared_download_folder_is_refused);
    RUN_CASE(request_while_busy_is_ignored);
    RUN_CASE(exit_during_download_leaves_nothing);
    RUN_CASE(full_installer_uses_full_entry);
    free_image(&g_vpn);
    free_image(&g_full);
    bwv_set_root(NULL);
    if (g_failed) fprintf(stderr, "%d expectation(s) failed\n", g_failed);
    else printf("all update library cases passed\n");
    return g_failed ? 1 : 0;
}
