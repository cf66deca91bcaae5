// STAR files: the header of a single-table file as labels with their column
// numbers, the index from the known particle labels to 1-based columns, data-row
// positioning and counting, the micrograph list of a CTF STAR file, and the
// particle STAR writer.
#pragma once
#include <cstdio>

constexpr int STAR_HEAD_MAX_LABELS = 512;
constexpr int STAR_LABEL_LEN = 256;
// Number of names in the label table (one of them stands there twice).
constexpr int STAR_KEYWORD_COUNT = 228;

// A parsed header: count label lines, each with the column number written
// after '#' (1-based as in the file) and its label.
struct StarHead {
    int count;
    int column[STAR_HEAD_MAX_LABELS];
    char label[STAR_HEAD_MAX_LABELS][STAR_LABEL_LEN];
};

// The 1-based column of each known label, 0 when the label is absent. The
// reserved slots keep the record's layout; nothing sets or reads them.
struct ParticleInfoIndex {
    int Bfactor, MicrographName, ImageName;                                   // slots 1-3
    int reserved4, reserved5, reserved6, reserved7, reserved8, reserved9;     // 4-9
    int CoordinateX, CoordinateY;                                             // 10-11
    int reserved12, reserved13, reserved14, reserved15, reserved16;           // 12-16
    int Voltage, PhaseShift, DefocusU, DefocusV, DefocusAngle;                // 17-21
    int SphericalAberration, DetectorPixelSize, Magnification;                // 22-24
    int AmplitudeContrast, CtfFigureOfMerit, CtfMaxResolution;                // 25-27
    int ClassNumber, GroupNumber, RandomSubset, reserved31, NormCorrection;   // 28-32
    int OriginX, OriginY, AngleRot, AngleTilt, AnglePsi;                      // 33-37
    int LogLikeliContribution, NrOfSignificantSamples;                        // 38-39
    int MaxValueProbDistribution, AutopickFigureOfMerit;                      // 40-41
};
static_assert(sizeof(ParticleInfoIndex) == 41 * 4, "ParticleInfoIndex holds 41 int32 slots");

// One particle row as values, members in the slot order of ParticleInfoIndex.
struct ParticleInfo {
    char MicrographName[STAR_LABEL_LEN];
    char ImageName[STAR_LABEL_LEN];
    float Bfactor;
    int reserved4, reserved5, reserved6, reserved7, reserved8, reserved9;
    float CoordinateX;
    float CoordinateY;
    int reserved12, reserved13, reserved14, reserved15, reserved16;
    float Voltage;
    float PhaseShift;
    float DefocusU;
    float DefocusV;
    float DefocusAngle;
    float SphericalAberration;
    float DetectorPixelSize;
    float Magnification;
    float AmplitudeContrast;
    float CtfFigureOfMerit;
    float CtfMaxResolution;
    int ClassNumber;
    int GroupNumber;
    int RandomSubset;
    int reserved31;
    float NormCorrection;
    float OriginX;
    float OriginY;
    float AngleRot;
    float AngleTilt;
    float AnglePsi;
    float LogLikeliContribution;
    int NrOfSignificantSamples;
    float MaxValueProbDistribution;
    float AutopickFigureOfMerit;
};
static_assert(sizeof(ParticleInfo) == 2 * STAR_LABEL_LEN + 39 * 4, "ParticleInfo: two names and 39 values");

// The labels this reader knows, in fixed 256-byte entries ended by an empty one.
extern const char star_head_keywords[STAR_KEYWORD_COUNT + 1][STAR_LABEL_LEN];

// ---- records ----
StarHead* star_head_new();
int star_head_empty(StarHead* head);
ParticleInfoIndex* particle_info_index_new();
int particle_info_index_init(ParticleInfoIndex* index);
int particle_info_init(ParticleInfo* info);

// ---- header ----
int is_star_head_keyword(const char* word);
int star_read_head(FILE* f, StarHead* head);
// star_read_head naming the file in its warnings (a column number that does not
// fit an int is recorded as -1).
int star_read_head_named(FILE* f, StarHead* head, const char* name);
int starf_read_head(const char* name, StarHead* head);
int set_info_index_from_star_head(StarHead* head, ParticleInfoIndex* index);
int set_info_index_from_starf(const char* name, ParticleInfoIndex* index);
int starf_read_head_info_index(const char* name, StarHead* head, ParticleInfoIndex* index);
int set_info_index_from_keyword_number(const char* label, int column, ParticleInfoIndex* index);
int get_info_index_from_keyword(const char* label, ParticleInfoIndex* index);
// The column of label for rows read as at most `words` words: the column when it
// lies in 1..words; 0 for an absent optional label; otherwise -1 after a warning
// (in func's name) naming the label and the file, so that no row is ever
// indexed by a missing or out-of-range column.
int star_checked_column(const char* func, const char* name, const char* label, int column, int words,
                        bool required);

// ---- files and lines shared with the coordinate readers ----
// Open for reading / writing, or end the process with the open-failure lines in func's name.
FILE* star_open_read(const char* name, const char* func);
FILE* star_open_write(const char* name, const char* func);
// Reads one line into a cleared 1024-byte buffer; false at end of file with nothing read.
bool star_read_next_line(char* line, FILE* f);

// ---- rows ----
int star_set_pointer(FILE* f, long n);
int star_set_next_line(FILE* f);
long get_lineN_from_star(FILE* f);
long get_lineN_from_starf(const char* name);
int is_words_starhead(char** words, int n);
// The words point into a line buffer of the calling thread, valid until its next call.
int read_words_from_star_line(char** words, int n, FILE* f);
int get_starf_suffixn(char* name);
char** get_all_micrographs_from_ctfstar(const char* name);

// ---- particle STAR output ----
int particle_star_write_head(FILE* f);
int particle_star_write_oneline(FILE* f, char* micrograph, int x, int y, float defocus_u, float defocus_v,
                                float angle, float voltage, float cs, float amplitude_contrast, float magnification,
                                float detector_pixel_size, float ctf_fom, float autopick_fom, float phase_shift);

// ---- entry points kept for callers; they read nothing and return 0 ----
int star_read_one_image(FILE* f, long n, float* image);
int starf_read_one_image(const char* name, long n, float* image);
int starf_read_some_image(const char* name, long first, long count, float* images);
int starf_read_all_images(const char* name, float* images);
int starf_read_one_info(const char* name, long n, ParticleInfo* info);
int starf_read_some_info(const char* name, long first, long count, ParticleInfo* infos);
int starf_read_all_info(const char* name, ParticleInfo* infos);
int star_particle_split(const char* name, const char* out_prefix);
