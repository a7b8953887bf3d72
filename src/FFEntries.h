// The entry points the program resolves from the media libraries and SDL, one list per library.
//
// Every name is resolved by dlsym when its library loads; none is optional, so a name missing
// from the installed library makes that library count as not loaded. Adding an entry is one
// line in the right list: `F(name)`; the entry is then callable as `ff::name(...)` with the
// type of the declaration in the library's public header (see src/FFLoad.h).
//
// This header holds the lists only (no includes), so tests can expand them into stand-in
// libraries. The C library list gives each type explicitly because some C++ declarations are
// overloaded (strchr, strrchr).
#pragma once

// clang-format off

#define VELLORAN_AVCODEC_ENTRIES(F) \
    F(avcodec_version) \
    F(av_codec_iterate) \
    F(av_codec_is_encoder) \
    F(av_codec_is_decoder) \
    F(av_get_bits_per_sample) \
    F(av_get_exact_bits_per_sample) \
    F(av_get_audio_frame_duration2) \
    F(av_get_profile_name) \
    F(avcodec_align_dimensions) \
    F(avcodec_align_dimensions2) \
    F(avcodec_alloc_context3) \
    F(avcodec_free_context) \
    F(avcodec_open2) \
    F(avcodec_close) \
    F(avcodec_is_open) \
    F(avcodec_parameters_alloc) \
    F(avcodec_parameters_free) \
    F(avcodec_parameters_copy) \
    F(avcodec_parameters_to_context) \
    F(avcodec_parameters_from_context) \
    F(avcodec_send_packet) \
    F(avcodec_receive_frame) \
    F(avcodec_send_frame) \
    F(avcodec_receive_packet) \
    F(avcodec_decode_subtitle2) \
    F(avcodec_encode_subtitle) \
    F(avcodec_fill_audio_frame) \
    F(avcodec_find_best_pix_fmt_of_list) \
    F(avcodec_find_decoder) \
    F(avcodec_find_decoder_by_name) \
    F(avcodec_find_encoder) \
    F(avcodec_find_encoder_by_name) \
    F(avcodec_flush_buffers) \
    F(avcodec_get_class) \
    F(avcodec_get_name) \
    F(avcodec_get_type) \
    F(avcodec_descriptor_get) \
    F(avcodec_descriptor_get_by_name) \
    F(avcodec_profile_name) \
    F(avcodec_string) \
    F(avcodec_default_get_buffer2) \
    F(avsubtitle_free) \
    F(av_packet_alloc) \
    F(av_packet_free) \
    F(av_packet_clone) \
    F(av_packet_ref) \
    F(av_packet_unref) \
    F(av_packet_move_ref) \
    F(av_packet_make_writable) \
    F(av_packet_copy_props) \
    F(av_packet_rescale_ts) \
    F(av_packet_get_side_data) \
    F(av_packet_new_side_data) \
    F(av_new_packet) \
    F(av_shrink_packet) \
    F(av_grow_packet) \
    F(av_parser_init) \
    F(av_parser_parse2) \
    F(av_parser_close) \
    F(av_bsf_get_by_name) \
    F(av_bsf_iterate) \
    F(av_bsf_alloc) \
    F(av_bsf_init) \
    F(av_bsf_send_packet) \
    F(av_bsf_receive_packet) \
    F(av_bsf_flush) \
    F(av_bsf_free) \
    F(av_bsf_get_class) \
    F(av_bsf_list_parse_str) \
    F(av_bsf_get_null_filter) \
    F(av_rdft_init) \
    F(av_rdft_calc) \
    F(av_rdft_end)

#define VELLORAN_AVDEVICE_ENTRIES(F) \
    F(avdevice_version) \
    F(avdevice_register_all)

#define VELLORAN_AVFILTER_ENTRIES(F) \
    F(avfilter_version) \
    F(av_filter_iterate) \
    F(avfilter_get_by_name) \
    F(avfilter_get_class) \
    F(avfilter_graph_alloc) \
    F(avfilter_graph_alloc_filter) \
    F(avfilter_graph_create_filter) \
    F(avfilter_graph_get_filter) \
    F(avfilter_graph_parse_ptr) \
    F(avfilter_graph_parse2) \
    F(avfilter_graph_config) \
    F(avfilter_graph_free) \
    F(avfilter_graph_send_command) \
    F(avfilter_graph_set_auto_convert) \
    F(avfilter_init_str) \
    F(avfilter_init_dict) \
    F(avfilter_free) \
    F(avfilter_link) \
    F(avfilter_inout_alloc) \
    F(avfilter_inout_free) \
    F(avfilter_pad_get_name) \
    F(avfilter_pad_get_type) \
    F(av_buffersrc_add_frame_flags) \
    F(av_buffersrc_parameters_alloc) \
    F(av_buffersrc_parameters_set) \
    F(av_buffersrc_get_nb_failed_requests) \
    F(av_buffersink_get_frame) \
    F(av_buffersink_get_frame_flags) \
    F(av_buffersink_get_samples) \
    F(av_buffersink_set_frame_size) \
    F(av_buffersink_get_type) \
    F(av_buffersink_get_time_base) \
    F(av_buffersink_get_format) \
    F(av_buffersink_get_frame_rate) \
    F(av_buffersink_get_w) \
    F(av_buffersink_get_h) \
    F(av_buffersink_get_sample_aspect_ratio) \
    F(av_buffersink_get_ch_layout) \
    F(av_buffersink_get_sample_rate)

#define VELLORAN_AVFORMAT_ENTRIES(F) \
    F(avformat_version) \
    F(av_codec_get_id) \
    F(av_codec_get_tag) \
    F(av_dump_format) \
    F(av_filename_number_test) \
    F(av_find_best_stream) \
    F(av_find_input_format) \
    F(av_get_packet) \
    F(av_guess_codec) \
    F(av_guess_format) \
    F(av_guess_frame_rate) \
    F(av_guess_sample_aspect_ratio) \
    F(av_demuxer_iterate) \
    F(av_muxer_iterate) \
    F(av_interleaved_write_frame) \
    F(av_write_frame) \
    F(av_pkt_dump_log2) \
    F(avio_enum_protocols) \
    F(av_read_frame) \
    F(av_read_pause) \
    F(av_read_play) \
    F(av_sdp_create) \
    F(av_seek_frame) \
    F(av_write_trailer) \
    F(avformat_alloc_context) \
    F(avformat_alloc_output_context2) \
    F(avformat_close_input) \
    F(avformat_find_stream_info) \
    F(avformat_free_context) \
    F(avformat_get_class) \
    F(avformat_network_init) \
    F(avformat_network_deinit) \
    F(avformat_new_stream) \
    F(av_new_program) \
    F(avformat_open_input) \
    F(avformat_query_codec) \
    F(avformat_seek_file) \
    F(avformat_write_header) \
    F(avformat_init_output) \
    F(avformat_match_stream_specifier) \
    F(avio_alloc_context) \
    F(avio_context_free) \
    F(avio_check) \
    F(avio_close) \
    F(avio_closep) \
    F(avio_feof) \
    F(avio_flush) \
    F(avio_open) \
    F(avio_open2) \
    F(avio_read) \
    F(avio_seek) \
    F(avio_size) \
    F(avio_write)

#define VELLORAN_AVUTIL_ENTRIES(F) \
    F(avutil_version) \
    F(av_asprintf) \
    F(av_compare_ts) \
    F(av_default_item_name) \
    F(av_dict_copy) \
    F(av_dict_count) \
    F(av_dict_free) \
    F(av_dict_get) \
    F(av_dict_parse_string) \
    F(av_dict_set) \
    F(av_dict_set_int) \
    F(av_fifo_alloc2) \
    F(av_fifo_freep2) \
    F(av_fifo_can_read) \
    F(av_fifo_can_write) \
    F(av_fifo_grow2) \
    F(av_fifo_read) \
    F(av_fifo_write) \
    F(av_fifo_peek) \
    F(av_fifo_drain2) \
    F(av_fifo_reset2) \
    F(av_audio_fifo_alloc) \
    F(av_audio_fifo_free) \
    F(av_audio_fifo_realloc) \
    F(av_audio_fifo_write) \
    F(av_audio_fifo_read) \
    F(av_audio_fifo_peek) \
    F(av_audio_fifo_drain) \
    F(av_audio_fifo_reset) \
    F(av_audio_fifo_size) \
    F(av_audio_fifo_space) \
    F(av_find_nearest_q_idx) \
    F(av_fast_malloc) \
    F(av_fast_realloc) \
    F(av_free) \
    F(av_freep) \
    F(av_gcd) \
    F(av_get_bytes_per_sample) \
    F(av_get_media_type_string) \
    F(av_get_picture_type_char) \
    F(av_get_pix_fmt) \
    F(av_get_pix_fmt_name) \
    F(av_get_pix_fmt_string) \
    F(av_get_bits_per_pixel) \
    F(av_pix_fmt_desc_get) \
    F(av_find_best_pix_fmt_of_2) \
    F(av_pix_fmt_get_chroma_sub_sample) \
    F(av_get_sample_fmt) \
    F(av_get_sample_fmt_name) \
    F(av_get_sample_fmt_string) \
    F(av_get_packed_sample_fmt) \
    F(av_get_planar_sample_fmt) \
    F(av_sample_fmt_is_planar) \
    F(av_samples_get_buffer_size) \
    F(av_samples_alloc) \
    F(av_samples_copy) \
    F(av_samples_set_silence) \
    F(av_channel_layout_default) \
    F(av_channel_layout_from_mask) \
    F(av_channel_layout_from_string) \
    F(av_channel_layout_copy) \
    F(av_channel_layout_uninit) \
    F(av_channel_layout_compare) \
    F(av_channel_layout_check) \
    F(av_channel_layout_describe) \
    F(av_channel_layout_channel_from_index) \
    F(av_frame_alloc) \
    F(av_frame_free) \
    F(av_frame_ref) \
    F(av_frame_unref) \
    F(av_frame_move_ref) \
    F(av_frame_clone) \
    F(av_frame_get_buffer) \
    F(av_frame_make_writable) \
    F(av_frame_is_writable) \
    F(av_frame_copy) \
    F(av_frame_copy_props) \
    F(av_frame_get_side_data) \
    F(av_image_alloc) \
    F(av_image_check_size) \
    F(av_image_copy) \
    F(av_image_fill_arrays) \
    F(av_image_get_buffer_size) \
    F(av_image_copy_to_buffer) \
    F(av_image_fill_linesizes) \
    F(av_log) \
    F(av_log_default_callback) \
    F(av_log_get_level) \
    F(av_log_set_callback) \
    F(av_log_set_level) \
    F(av_log_set_flags) \
    F(av_malloc) \
    F(av_mallocz) \
    F(av_max_alloc) \
    F(av_realloc) \
    F(av_realloc_f) \
    F(av_strdup) \
    F(av_opt_find) \
    F(av_opt_find2) \
    F(av_opt_next) \
    F(av_opt_get) \
    F(av_opt_get_int) \
    F(av_opt_get_double) \
    F(av_opt_ptr) \
    F(av_opt_set) \
    F(av_opt_set_int) \
    F(av_opt_set_double) \
    F(av_opt_set_bin) \
    F(av_opt_set_dict) \
    F(av_opt_set_dict2) \
    F(av_opt_set_defaults) \
    F(av_opt_free) \
    F(av_parse_time) \
    F(av_parse_video_rate) \
    F(av_parse_video_size) \
    F(av_d2q) \
    F(av_mul_q) \
    F(av_div_q) \
    F(av_add_q) \
    F(av_sub_q) \
    F(av_reduce) \
    F(av_rescale) \
    F(av_rescale_rnd) \
    F(av_rescale_q) \
    F(av_rescale_q_rnd) \
    F(av_get_time_base_q) \
    F(av_gettime) \
    F(av_gettime_relative) \
    F(av_usleep) \
    F(av_strerror) \
    F(av_strcasecmp) \
    F(av_strlcpy) \
    F(av_strstart) \
    F(av_display_rotation_get) \
    F(av_cpu_count)

#define VELLORAN_SWRESAMPLE_ENTRIES(F) \
    F(swresample_version) \
    F(swr_alloc) \
    F(swr_alloc_set_opts2) \
    F(swr_init) \
    F(swr_is_initialized) \
    F(swr_convert) \
    F(swr_free) \
    F(swr_get_class) \
    F(swr_get_delay) \
    F(swr_next_pts) \
    F(swr_set_channel_mapping) \
    F(swr_set_compensation)

#define VELLORAN_SWSCALE_ENTRIES(F) \
    F(swscale_version) \
    F(sws_freeContext) \
    F(sws_get_class) \
    F(sws_getContext) \
    F(sws_getCachedContext) \
    F(sws_scale) \
    F(sws_isSupportedInput) \
    F(sws_isSupportedOutput)

// Data items of the media libraries (resolved with the "Load variable" rule). The 5.1 libraries
// export none that the program needs: the pixel format table became av_pix_fmt_desc_get.
#define VELLORAN_AVCODEC_VARIABLES(V)
#define VELLORAN_AVDEVICE_VARIABLES(V)
#define VELLORAN_AVFILTER_VARIABLES(V)
#define VELLORAN_AVFORMAT_VARIABLES(V)
#define VELLORAN_AVUTIL_VARIABLES(V)
#define VELLORAN_SWRESAMPLE_VARIABLES(V)
#define VELLORAN_SWSCALE_VARIABLES(V)

// The C library (formatting, string and file functions of the engine): FT(name, type).
#define VELLORAN_LIBC_ENTRIES(FT) \
    FT(atoi, int (*)(const char*)) \
    FT(fclose, int (*)(FILE*)) \
    FT(ferror, int (*)(FILE*)) \
    FT(fopen, FILE* (*)(const char*, const char*)) \
    FT(fprintf, int (*)(FILE*, const char*, ...)) \
    FT(fread, size_t (*)(void*, size_t, size_t, FILE*)) \
    FT(fseek, int (*)(FILE*, long, int)) \
    FT(ftell, long (*)(FILE*)) \
    FT(fwrite, size_t (*)(const void*, size_t, size_t, FILE*)) \
    FT(snprintf, int (*)(char*, size_t, const char*, ...)) \
    FT(sscanf, int (*)(const char*, const char*, ...)) \
    FT(strchr, char* (*)(const char*, int)) \
    FT(strcmp, int (*)(const char*, const char*)) \
    FT(strncmp, int (*)(const char*, const char*, size_t)) \
    FT(strrchr, char* (*)(const char*, int)) \
    FT(strtod, double (*)(const char*, char**)) \
    FT(strtok, char* (*)(char*, const char*)) \
    FT(strtol, long (*)(const char*, char**, int)) \
    FT(vsnprintf, int (*)(char*, size_t, const char*, va_list))

// SDL 2, resolved per TSDLLoader instance.
#define VELLORAN_SDL_ENTRIES(F) \
    F(SDL_Init) \
    F(SDL_InitSubSystem) \
    F(SDL_QuitSubSystem) \
    F(SDL_Quit) \
    F(SDL_getenv) \
    F(SDL_setenv) \
    F(SDL_SetHint) \
    F(SDL_GetError) \
    F(SDL_GetTicks) \
    F(SDL_Delay) \
    F(SDL_OpenAudioDevice) \
    F(SDL_PauseAudioDevice) \
    F(SDL_CloseAudioDevice) \
    F(SDL_LockAudioDevice) \
    F(SDL_UnlockAudioDevice) \
    F(SDL_MixAudioFormat) \
    F(SDL_GetCurrentAudioDriver) \
    F(SDL_WaitEvent) \
    F(SDL_WaitEventTimeout) \
    F(SDL_PollEvent) \
    F(SDL_PeepEvents) \
    F(SDL_PumpEvents) \
    F(SDL_PushEvent) \
    F(SDL_FlushEvent) \
    F(SDL_EventState) \
    F(SDL_RegisterEvents) \
    F(SDL_GetCurrentVideoDriver) \
    F(SDL_GetDesktopDisplayMode) \
    F(SDL_CreateWindow) \
    F(SDL_CreateWindowFrom) \
    F(SDL_DestroyWindow) \
    F(SDL_SetWindowTitle) \
    F(SDL_SetWindowSize) \
    F(SDL_GetWindowSize) \
    F(SDL_ShowWindow) \
    F(SDL_CreateRenderer) \
    F(SDL_DestroyRenderer) \
    F(SDL_GetRendererOutputSize) \
    F(SDL_SetRenderDrawColor) \
    F(SDL_RenderClear) \
    F(SDL_RenderFillRect) \
    F(SDL_RenderCopy) \
    F(SDL_RenderPresent) \
    F(SDL_CreateTexture) \
    F(SDL_DestroyTexture) \
    F(SDL_QueryTexture) \
    F(SDL_LockTexture) \
    F(SDL_UnlockTexture) \
    F(SDL_UpdateTexture) \
    F(SDL_UpdateYUVTexture) \
    F(SDL_CreateMutex) \
    F(SDL_LockMutex) \
    F(SDL_UnlockMutex) \
    F(SDL_DestroyMutex) \
    F(SDL_CreateCond) \
    F(SDL_DestroyCond) \
    F(SDL_CondSignal) \
    F(SDL_CondBroadcast) \
    F(SDL_CondWait) \
    F(SDL_CondWaitTimeout) \
    F(SDL_CreateThread) \
    F(SDL_WaitThread)

// clang-format on
