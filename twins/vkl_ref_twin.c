/*
 * VKL_REF_TWIN: reference digital twin of a small direct-drive servo actuator.
 *
 * Exports the digital-twin interface the engine drives: DT_initialize,
 * DT_step, DT_terminate (one argument, the caller's RT_MODEL_DT_T record),
 * the structure getters get_inports_ptr ... get_debug_ptr, the filter settings
 * global `Filter`, and the text globals MOTOR_MODEL and SUBMODULE_COMMITS.
 * All model state lives in static variables, so every loaded copy of this
 * library is one independent actuator.
 *
 * Units: rad, rad/s, rad/s^2, N*m, A, V, W, degC, Hz.
 *
 * Plant (permanent-magnet synchronous motor in the rotor dq frame, p pole pairs)
 *   Ld did/dt = vd - R id + we Lq iq
 *   Lq diq/dt = vq - R iq - we (Ld id + psi)           we = p w (electrical speed)
 *   Te = 1.5 p (psi iq + (Ld - Lq) id iq)
 *   J dw/dt = Te - b w - Tc tanh(w / w_s) - Load         J = rotor + load inertia
 *   d(theta)/dt = w
 *   R = R20 (1 + alpha (T_w - 20))                     copper resistance
 *   C_th dT_w/dt = 1.5 R (id^2 + iq^2) - (T_w - T_amb) / R_th
 *   inverter: P_dc = P_elec + P_sw + k_cond |i|^2 + P_standby, i_dc = P_dc / V_dc,
 *   phase voltages limited to the circle |v| <= V_dc / sqrt(3).
 *
 * Controllers (cascade; every loop a discrete PI / P with clamped integrators)
 *   current:   v = Kp_i e + int(Ki_i e) + decoupling, e = i_ref - i_filtered
 *   speed:     T_ref = spd_Kp e + int(spd_Ki e) + ref_ff_torque, e = spd_ref - spd_fb
 *   position:  spd_ref = pos_Kp e + int(pos_Ki e) + pos_Kd de/dt + FF_gain d(pos_ref)/dt
 *   impedance: T_ref = K_stiff (pos_ref - pos) + K_damp (ref_impedance_spd - spd)
 *                      + J_imp ref_impedance_acel + T_FF
 *   T_ref is clamped to +-lim_T, iq_ref = T_ref / Kt, |i_ref| <= I_max.
 *
 * Control codes (inp.ControlType)
 *   1 calibration: d-axis current of I_cal, no torque (the engine's warm-up)
 *   2 FVI: current vector of Reference amperes fixed at electrical angle 0
 *   3 open loop: voltage vector turning at Reference rad/s (mechanical)
 *   4 DVI: q-axis voltage Reference volts, d-axis 0
 *   5 torque (Reference N*m), 6 speed (rad/s), 7 position (rad), 8 impedance (rad)
 *   anything else: zero current.
 * Enable false opens the inverter: no current, no references, the rotor coasts.
 * A change of ResetPos (either edge) makes the present position the new zero.
 * The debug flags report, at every step, the limits that are active:
 *   T_ref_max  torque reference clamped at lim_T     T_fb_max  |T_fb| > lim_T
 *   i_max      current magnitude above I_max
 *   pos_ref_max / pos_ref_min  position reference clamped at prof_pos_max / min
 *   spd_ref_max / spd_ref_min  speed reference clamped at prof_spd_max / min
 *   pos_fb_max / pos_fb_min    position beyond lim_pos_max / lim_pos_min
 *   spd_fb_max                 speed outside [lim_spd_min, lim_spd_max]
 * Each DT_step advances DT_TIME_STEP_S seconds in substeps of at most 50 us.
 */
#include <math.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define DT_EXPORT __declspec(dllexport)
#else
#define DT_EXPORT __attribute__((visibility("default")))
#endif

#ifndef DT_TIME_STEP_S
#define DT_TIME_STEP_S 5e-05
#endif
#ifndef DT_MOTOR_MODEL
#define DT_MOTOR_MODEL "VKL-REF-PMSM 7PP 24V direct drive"
#endif
#ifndef DT_SUBMODULE_COMMITS
#define DT_SUBMODULE_COMMITS "vkl_ref_twin 1.0.0"
#endif
/* Build options for reduced variants of the twin (the shipped twin has all):
 *   DT_WITH_OPTIONAL=0  no inp.T_ADC, inp.ref_*, pid.pos_Ki/pos_Kd/FF_gain, imp.J_imp
 *   DT_WITH_FILTER=0    no `Filter` global (fixed filter cut-offs)
 *   DT_EXPORT_TIME_STEP export get_sim_time_step_s() returning DT_TIME_STEP_S
 *   DT_NO_TEXT_GLOBALS  no MOTOR_MODEL / SUBMODULE_COMMITS symbols
 * and the C types of the fields a generated model may declare otherwise:
 *   DT_ENABLE_T   inp.Enable, inp.ResetPos      (default bool)
 *   DT_CONTROL_T  inp.ControlType               (default int32_t)
 *   DT_TURN_T     meas.turn, meas.turn2         (default int32_t)
 *   DT_FLAG_T     the debug flags               (default bool)
 *   DT_REAL_T     the real fields of inp, info, meas and motor (default double) */
#ifndef DT_ENABLE_T
#define DT_ENABLE_T bool
#endif
#ifndef DT_CONTROL_T
#define DT_CONTROL_T int32_t
#endif
#ifndef DT_TURN_T
#define DT_TURN_T int32_t
#endif
#ifndef DT_FLAG_T
#define DT_FLAG_T bool
#endif
#ifndef DT_REAL_T
#define DT_REAL_T double
#endif
#ifndef DT_WITH_OPTIONAL
#define DT_WITH_OPTIONAL 1
#endif
#ifndef DT_WITH_FILTER
#define DT_WITH_FILTER 1
#endif

/* ---- structures (layouts mirrored by the bindings module) ------------------ */

typedef struct {
    DT_ENABLE_T Enable;
    DT_ENABLE_T ResetPos;
    DT_CONTROL_T ControlType;
    DT_REAL_T Reference;
    DT_REAL_T Load;
#if DT_WITH_OPTIONAL
    DT_REAL_T T_ADC;              /* torque-sensor offset, N*m (added to meas.T) */
    DT_REAL_T ref_ff_torque;
    DT_REAL_T ref_impedance_spd;
    DT_REAL_T ref_impedance_acel;
#endif
} Inports_type;

typedef struct {
    double pos_Kp;
#if DT_WITH_OPTIONAL
    double pos_Ki, pos_Kd;
#endif
    double spd_Kp, spd_Ki;
    double id_Kp, id_Ki;
#if DT_WITH_OPTIONAL
    double FF_gain;
#endif
} PID_type;

typedef struct {
    double K_stiff, K_damp, T_FF;
#if DT_WITH_OPTIONAL
    double J_imp;
#endif
} Impedance_type;

typedef struct {
    double lim_T;
    double lim_pos_max, lim_pos_min;
    double lim_spd_max, lim_spd_min;
    double prof_pos_max, prof_pos_min;
    double prof_spd_max, prof_spd_min;
} Lim_type;

typedef struct {
    DT_REAL_T enable, temp_winding;
    DT_REAL_T T_fb, T_ref;
    DT_REAL_T id_fb, id_ref, iq_fb, iq_ref;
    DT_REAL_T pos_fb, pos_ref, spd_fb, spd_ref;
    DT_REAL_T vd_ref, vq_ref;
} Info_type;

typedef struct {
    DT_TURN_T turn, turn2;
    DT_REAL_T T, e_pos, pos, pos2, spd, spd2;
} Meas_type;

typedef struct {
    DT_REAL_T m_Te, m_Tl, m_acc, m_eff_elec, m_eff_mec, m_i_dc;
    DT_REAL_T m_ia, m_ib, m_ic, m_id, m_iq;
    DT_REAL_T m_pos1, m_pos2;
    DT_REAL_T m_pwr_dc, m_pwr_elec, m_pwr_mec;
    DT_REAL_T m_spd1, m_spd2;
    DT_REAL_T m_va, m_vb, m_vc, m_vd, m_vq;
} Motor_type;

typedef struct {
    DT_FLAG_T T_fb_max, T_ref_max, i_max;
    DT_FLAG_T pos_fb_max, pos_fb_min, pos_ref_max, pos_ref_min;
    DT_FLAG_T spd_fb_max, spd_ref_max, spd_ref_min;
} Debug_type;

typedef struct {
    double spd_cutoff;     /* speed feedback low-pass, Hz (<= 0: off) */
    double current_cutoff; /* current feedback low-pass, Hz (<= 0: off) */
} Filter_type;

typedef struct {
    double Te, vd, vq;     /* block outputs of the last step */
} B_DT_T;

typedef struct {
    uint64_t steps;        /* steps since DT_initialize */
} DW_DT_T;

typedef struct {
    uint8_t ResetPos_ZCE;  /* ResetPos at the previous step */
} PrevZCX_DT_T;

typedef struct {
    B_DT_T *blockIO;
    DW_DT_T *dwork;
    PrevZCX_DT_T *prevZCSigState;
    char *errorStatus;
} RT_MODEL_DT_T;

/* ---- parameters ------------------------------------------------------------ */

#define PI_D 3.14159265358979323846
#define TWO_PI (2.0 * PI_D)

static const double P_PAIRS = 7.0;
static const double R20 = 0.30;        /* ohm at 20 degC */
static const double ALPHA_CU = 0.00393;
static const double LD = 0.22e-3, LQ = 0.28e-3; /* H */
static const double PSI = 0.012;       /* Wb */
static const double J_ROTOR = 1.2e-4, J_LOAD = 1.8e-4; /* kg m^2 */
static const double B_VISC = 1.0e-4;   /* N m s/rad */
static const double T_COUL = 0.02;     /* N m */
static const double W_STRIBECK = 0.01; /* rad/s, smoothing of Coulomb friction */
static const double V_DC = 24.0;
static const double I_MAX = 20.0;
static const double I_CAL = 1.0;
static const double I_OPEN_LOOP = 3.0;
static const double T_AMB = 25.0;
static const double R_TH = 2.0, C_TH = 50.0;
static const double P_STANDBY = 0.3, P_SW = 0.8, K_COND = 0.01;
static const double ENC_COUNTS2 = 16384.0; /* external encoder counts per turn */
static const double SUBSTEP_MAX = 5e-05;

/* ---- exported structures and globals --------------------------------------- */

static Inports_type inports;
#if DT_WITH_OPTIONAL
static PID_type pid = {40.0, 0.0, 0.0, 0.15, 15.0, 1.4, 1900.0, 0.0};
static Impedance_type impedance = {1.0, 0.02, 0.0, 0.0};
#define IN_OPT(field) finite_or0(inports.field)
#define PID_OPT(field) (pid.field)
#define J_IMP (impedance.J_imp)
#else
static PID_type pid = {40.0, 0.15, 15.0, 1.4, 1900.0};
static Impedance_type impedance = {1.0, 0.02, 0.0};
#define IN_OPT(field) 0.0
#define PID_OPT(field) 0.0
#define J_IMP 0.0
#endif
static Lim_type lim = {2.0, 100.0, -100.0, 120.0, -120.0, 90.0, -90.0, 100.0, -100.0};
static Info_type info;
static Meas_type meas;
static Motor_type motor;
static Debug_type debug_flags;

#if DT_WITH_FILTER
DT_EXPORT Filter_type Filter = {1000.0, 5000.0};
#else
static Filter_type Filter = {1000.0, 5000.0};
#endif
#ifndef DT_NO_TEXT_GLOBALS
DT_EXPORT const char MOTOR_MODEL[] = DT_MOTOR_MODEL;
DT_EXPORT const char SUBMODULE_COMMITS[] = DT_SUBMODULE_COMMITS;
#endif

/* ---- model state -------------------------------------------------------------- */

static struct {
    double id, iq;          /* winding currents */
    double w, theta;        /* rotor speed and position (absolute) */
    double theta_zero;      /* position offset set by ResetPos */
    double temp;            /* winding temperature */
    double id_f, iq_f;      /* filtered currents */
    double w_f, w2_f;       /* filtered speeds */
    double pos2_prev;
    double xi_d, xi_q;      /* current PI integrators */
    double xi_spd, xi_pos;  /* speed and position integrators */
    double pos_err_prev;
    double pos_ref_prev;
    double ol_angle;        /* open-loop voltage vector angle (electrical) */
    int last_mode;
    bool have_pos_ref_prev;
} st;

static double clampd(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }
static double finite_or0(double v) { return isfinite(v) ? v : 0.0; }
static double lowpass_alpha(double cutoff_hz, double h) {
    if (!(cutoff_hz > 0.0) || !isfinite(cutoff_hz))
        return 1.0;
    return 1.0 - exp(-TWO_PI * cutoff_hz * h);
}

/* States that decay toward zero are cut off well above the subnormal range
 * (subnormal arithmetic is slow on most CPUs). */
static void flush_tiny(double *x) {
    if (fabs(*x) < 1e-200)
        *x = 0.0;
}

static void reset_controllers(void) {
    st.xi_d = st.xi_q = st.xi_spd = st.xi_pos = 0.0;
    st.pos_err_prev = 0.0;
    st.have_pos_ref_prev = false;
}

static void reset_state(void) {
    st.id = st.iq = 0.0;
    st.w = st.theta = st.theta_zero = 0.0;
    st.temp = T_AMB;
    st.id_f = st.iq_f = st.w_f = st.w2_f = 0.0;
    st.pos2_prev = 0.0;
    st.ol_angle = 0.0;
    st.last_mode = 0;
    reset_controllers();
}

/* Current PI with decoupling and voltage-circle limit; back-calculation
 * (gain Ki/Kp) keeps the integrators out of windup while the voltage is
 * limited. */
static void current_control(double id_ref, double iq_ref, double we, double h, double *vd, double *vq) {
    double ed = id_ref - st.id_f, eq = iq_ref - st.iq_f;
    double vd_u = pid.id_Kp * ed + st.xi_d - we * LQ * st.iq_f;
    double vq_u = pid.id_Kp * eq + st.xi_q + we * (LD * st.id_f + PSI);
    double vd_s = vd_u, vq_s = vq_u;
    double vmax = V_DC / sqrt(3.0);
    double mag = hypot(vd_u, vq_u);
    if (mag > vmax) {
        vd_s *= vmax / mag;
        vq_s *= vmax / mag;
    }
    double k_aw = pid.id_Kp > 0.0 ? pid.id_Ki / pid.id_Kp : 0.0;
    st.xi_d += (pid.id_Ki * ed + k_aw * (vd_s - vd_u)) * h;
    st.xi_q += (pid.id_Ki * eq + k_aw * (vq_s - vq_u)) * h;
    st.xi_d = clampd(st.xi_d, -vmax, vmax);
    st.xi_q = clampd(st.xi_q, -vmax, vmax);
    *vd = vd_s;
    *vq = vq_s;
}

/* Torque reference -> (clamped) current references. */
static double torque_to_iq(double t_ref, double kt) {
    double iq = t_ref / kt;
    return clampd(iq, -I_MAX, I_MAX);
}

static void substep(double h, Info_type *o, Debug_type *dbg) {
    const Inports_type *in = &inports;
    const int mode = in->ControlType;
    const double R = R20 * (1.0 + ALPHA_CU * (st.temp - 20.0));
    const double we = P_PAIRS * st.w;
    const double kt = 1.5 * P_PAIRS * PSI;
    const double pos = st.theta - st.theta_zero;
    const double reference = finite_or0(in->Reference);
    const double load = finite_or0(in->Load);
    const double ff_torque = IN_OPT(ref_ff_torque);
    const double lim_t = fabs(lim.lim_T);

    /* feedback filters */
    double a_i = lowpass_alpha(Filter.current_cutoff, h);
    double a_w = lowpass_alpha(Filter.spd_cutoff, h);
    st.id_f += a_i * (st.id - st.id_f);
    st.iq_f += a_i * (st.iq - st.iq_f);
    st.w_f += a_w * (st.w - st.w_f);

    if (mode != st.last_mode) {
        reset_controllers();
        st.last_mode = mode;
    }

    double id_ref = 0.0, iq_ref = 0.0, t_ref = 0.0, spd_ref = 0.0, pos_ref = pos;
    double vd = 0.0, vq = 0.0;
    bool voltage_mode = false, torque_mode = false;

    switch (in->Enable ? mode : 0) {
    case 1: /* calibration */
        id_ref = I_CAL;
        break;
    case 2: { /* fixed current vector at electrical angle 0 */
        double e = fmod(P_PAIRS * pos, TWO_PI);
        id_ref = reference * cos(e);
        iq_ref = -reference * sin(e);
        break;
    }
    case 3: { /* open loop: rotating voltage vector */
        st.ol_angle = fmod(st.ol_angle + P_PAIRS * reference * h, TWO_PI);
        double e = fmod(P_PAIRS * pos, TWO_PI);
        double v = R * I_OPEN_LOOP + fabs(P_PAIRS * reference) * PSI;
        vd = v * cos(st.ol_angle - e);
        vq = v * sin(st.ol_angle - e);
        voltage_mode = true;
        break;
    }
    case 4: /* direct voltage on the q axis */
        vq = reference;
        voltage_mode = true;
        break;
    case 5:
        t_ref = reference + ff_torque;
        torque_mode = true;
        break;
    case 6:
    case 7: {
        if (mode == 7) {
            pos_ref = reference;
            if (pos_ref > lim.prof_pos_max) {
                pos_ref = lim.prof_pos_max;
                dbg->pos_ref_max = true;
            } else if (pos_ref < lim.prof_pos_min) {
                pos_ref = lim.prof_pos_min;
                dbg->pos_ref_min = true;
            }
            double e = pos_ref - pos;
            double de = st.have_pos_ref_prev ? (e - st.pos_err_prev) / h : 0.0;
            double dref = st.have_pos_ref_prev ? (pos_ref - st.pos_ref_prev) / h : 0.0;
            st.pos_err_prev = e;
            st.pos_ref_prev = pos_ref;
            st.have_pos_ref_prev = true;
            st.xi_pos = clampd(st.xi_pos + PID_OPT(pos_Ki) * e * h, -lim.prof_spd_max, lim.prof_spd_max);
            spd_ref = pid.pos_Kp * e + st.xi_pos + PID_OPT(pos_Kd) * de + PID_OPT(FF_gain) * dref;
        } else {
            spd_ref = reference;
        }
        if (spd_ref > lim.prof_spd_max) {
            spd_ref = lim.prof_spd_max;
            dbg->spd_ref_max = true;
        } else if (spd_ref < lim.prof_spd_min) {
            spd_ref = lim.prof_spd_min;
            dbg->spd_ref_min = true;
        }
        double e = spd_ref - st.w_f;
        double t_u = pid.spd_Kp * e + st.xi_spd + ff_torque;
        /* conditional integration: hold the integrator while saturated in the
         * direction of the error */
        if (!((t_u > lim_t && e > 0) || (t_u < -lim_t && e < 0)))
            st.xi_spd = clampd(st.xi_spd + pid.spd_Ki * e * h, -lim_t, lim_t);
        t_ref = pid.spd_Kp * e + st.xi_spd + ff_torque;
        torque_mode = true;
        break;
    }
    case 8:
        pos_ref = reference;
        spd_ref = IN_OPT(ref_impedance_spd);
        t_ref = impedance.K_stiff * (pos_ref - pos) + impedance.K_damp * (spd_ref - st.w_f) +
                J_IMP * IN_OPT(ref_impedance_acel) + impedance.T_FF;
        torque_mode = true;
        break;
    default:
        break;
    }

    if (torque_mode) {
        if (t_ref > lim_t) {
            t_ref = lim_t;
            dbg->T_ref_max = true;
        } else if (t_ref < -lim_t) {
            t_ref = -lim_t;
            dbg->T_ref_max = true;
        }
        iq_ref = torque_to_iq(t_ref, kt);
        id_ref = 0.0;
    }
    {
        double m = hypot(id_ref, iq_ref);
        if (m > I_MAX) {
            id_ref *= I_MAX / m;
            iq_ref *= I_MAX / m;
        }
    }
    if (!torque_mode)
        t_ref = 1.5 * P_PAIRS * (PSI * iq_ref + (LD - LQ) * id_ref * iq_ref);

    if (!in->Enable) {
        vd = vq = 0.0;
        reset_controllers();
        st.id = st.iq = 0.0; /* inverter open: no current path */
    } else if (!voltage_mode) {
        current_control(id_ref, iq_ref, we, h, &vd, &vq);
    } else {
        double vmax = V_DC / sqrt(3.0);
        double m = hypot(vd, vq);
        if (m > vmax) {
            vd *= vmax / m;
            vq *= vmax / m;
        }
    }

    /* electrical dynamics */
    if (in->Enable) {
        double did = (vd - R * st.id + we * LQ * st.iq) / LD;
        double diq = (vq - R * st.iq - we * (LD * st.id + PSI)) / LQ;
        st.id += did * h;
        st.iq += diq * h;
    }
    double te = 1.5 * P_PAIRS * (PSI * st.iq + (LD - LQ) * st.id * st.iq);

    /* mechanics */
    double t_fric = B_VISC * st.w + T_COUL * tanh(st.w / W_STRIBECK);
    double acc = (te - t_fric - load) / (J_ROTOR + J_LOAD);
    st.w += acc * h;
    st.theta += st.w * h;

    /* thermal */
    double p_cu = 1.5 * R * (st.id * st.id + st.iq * st.iq);
    st.temp += (p_cu - (st.temp - T_AMB) / R_TH) / C_TH * h;

    double *decaying[] = {&st.id, &st.iq, &st.w, &st.id_f, &st.iq_f, &st.w_f, &st.w2_f, &st.xi_d, &st.xi_q, &st.xi_spd};
    for (size_t k = 0; k < sizeof decaying / sizeof decaying[0]; ++k)
        flush_tiny(decaying[k]);

    /* outputs of this substep */
    double pos_now = st.theta - st.theta_zero;
    double e_ang = fmod(P_PAIRS * pos_now, TWO_PI);
    if (e_ang < 0)
        e_ang += TWO_PI;
    double ca = cos(e_ang), sa = sin(e_ang);
    double ialpha = st.id * ca - st.iq * sa, ibeta = st.id * sa + st.iq * ca;
    double valpha = vd * ca - vq * sa, vbeta = vd * sa + vq * ca;
    const double s3 = sqrt(3.0) / 2.0;
    double p_elec = 1.5 * (vd * st.id + vq * st.iq);
    double i_mag = hypot(st.id, st.iq);
    double p_inv = in->Enable ? P_SW + K_COND * i_mag * i_mag : 0.0;
    double p_dc = p_elec + p_inv + P_STANDBY;
    double p_mec = te * st.w;

    motor.m_Te = te;
    motor.m_Tl = load + t_fric;
    motor.m_acc = acc;
    motor.m_pwr_elec = p_elec;
    motor.m_pwr_dc = p_dc;
    motor.m_i_dc = p_dc / V_DC;
    motor.m_pwr_mec = p_mec;
    motor.m_eff_elec = (p_elec > 1e-3 && p_dc > 1e-3) ? clampd(p_elec / p_dc, 0.0, 1.0) : 0.0;
    motor.m_eff_mec = (p_mec > 1e-3 && p_elec > 1e-3) ? clampd(p_mec / p_elec, 0.0, 1.0) : 0.0;
    motor.m_id = st.id;
    motor.m_iq = st.iq;
    motor.m_ia = ialpha;
    motor.m_ib = -0.5 * ialpha + s3 * ibeta;
    motor.m_ic = -0.5 * ialpha - s3 * ibeta;
    motor.m_vd = vd;
    motor.m_vq = vq;
    motor.m_va = valpha;
    motor.m_vb = -0.5 * valpha + s3 * vbeta;
    motor.m_vc = -0.5 * valpha - s3 * vbeta;
    motor.m_pos1 = pos_now;
    motor.m_spd1 = st.w;

    double pos2 = round(pos_now * ENC_COUNTS2 / TWO_PI) * TWO_PI / ENC_COUNTS2;
    st.w2_f += a_w * ((pos2 - st.pos2_prev) / h - st.w2_f);
    st.pos2_prev = pos2;
    motor.m_pos2 = pos2;
    motor.m_spd2 = st.w2_f;

    o->enable = in->Enable ? 1.0 : 0.0;
    o->temp_winding = st.temp;
    o->id_fb = st.id_f;
    o->iq_fb = st.iq_f;
    o->T_fb = 1.5 * P_PAIRS * (PSI * st.iq_f + (LD - LQ) * st.id_f * st.iq_f);
    o->T_ref = t_ref;
    o->id_ref = id_ref;
    o->iq_ref = iq_ref;
    o->pos_fb = pos_now;
    o->pos_ref = pos_ref;
    o->spd_fb = st.w_f;
    o->spd_ref = spd_ref;
    o->vd_ref = vd;
    o->vq_ref = vq;

    if (fabs(o->T_fb) > lim_t)
        dbg->T_fb_max = true;
    if (i_mag > I_MAX)
        dbg->i_max = true;
}

static void publish_measurements(void) {
    double pos = st.theta - st.theta_zero;
    meas.pos = pos;
    meas.turn = (int32_t) floor(pos / TWO_PI);
    meas.e_pos = fmod(P_PAIRS * pos, TWO_PI);
    if (meas.e_pos < 0)
        meas.e_pos += TWO_PI;
    meas.spd = st.w;
    meas.pos2 = motor.m_pos2;
    meas.turn2 = (int32_t) floor(motor.m_pos2 / TWO_PI);
    meas.spd2 = motor.m_spd2;
    meas.T = J_LOAD * motor.m_acc + finite_or0(inports.Load) + IN_OPT(T_ADC);
}

static void limit_flags(Debug_type *dbg) {
    dbg->pos_fb_max = info.pos_fb > lim.lim_pos_max;
    dbg->pos_fb_min = info.pos_fb < lim.lim_pos_min;
    dbg->spd_fb_max = info.spd_fb > lim.lim_spd_max || info.spd_fb < lim.lim_spd_min;
}

/* ---- interface ------------------------------------------------------------------ */

DT_EXPORT void DT_initialize(RT_MODEL_DT_T *rtm) {
    reset_state();
    inports.Enable = false;
    inports.ResetPos = false;
    inports.ControlType = 0;
    inports.Reference = inports.Load = 0.0;
    info = (Info_type){0};
    info.temp_winding = T_AMB;
    meas = (Meas_type){0};
    motor = (Motor_type){0};
    debug_flags = (Debug_type){0};
    if (rtm) {
        if (rtm->dwork)
            rtm->dwork->steps = 0;
        if (rtm->prevZCSigState)
            rtm->prevZCSigState->ResetPos_ZCE = 0;
    }
}

DT_EXPORT void DT_step(RT_MODEL_DT_T *rtm) {
    if (!rtm)
        return;
    const uint8_t reset_now = inports.ResetPos ? 1 : 0;
    if (rtm->prevZCSigState) {
        if (reset_now != rtm->prevZCSigState->ResetPos_ZCE) {
            st.theta_zero = st.theta;
            st.pos2_prev = 0.0;
            reset_controllers();
        }
        rtm->prevZCSigState->ResetPos_ZCE = reset_now;
    }

    int n = (int) ceil(DT_TIME_STEP_S / SUBSTEP_MAX - 1e-9);
    if (n < 1)
        n = 1;
    double h = DT_TIME_STEP_S / n;
    Debug_type dbg = {0};
    for (int i = 0; i < n; ++i)
        substep(h, &info, &dbg);
    publish_measurements();
    limit_flags(&dbg);
    debug_flags = dbg;

    if (rtm->blockIO) {
        rtm->blockIO->Te = motor.m_Te;
        rtm->blockIO->vd = motor.m_vd;
        rtm->blockIO->vq = motor.m_vq;
    }
    if (rtm->dwork)
        rtm->dwork->steps++;
}

DT_EXPORT void DT_terminate(RT_MODEL_DT_T *rtm) {
    (void) rtm;
    inports.Enable = false;
    st.id = st.iq = 0.0;
}

DT_EXPORT Inports_type *get_inports_ptr(void) { return &inports; }
DT_EXPORT PID_type *get_pid_ptr(void) { return &pid; }
DT_EXPORT Impedance_type *get_impedance_ptr(void) { return &impedance; }
DT_EXPORT Lim_type *get_lim_ptr(void) { return &lim; }
DT_EXPORT Info_type *get_info_ptr(void) { return &info; }
DT_EXPORT Meas_type *get_meas_ptr(void) { return &meas; }
DT_EXPORT Motor_type *get_motor_ptr(void) { return &motor; }
DT_EXPORT Debug_type *get_debug_ptr(void) { return &debug_flags; }

#ifdef DT_EXPORT_TIME_STEP
DT_EXPORT double get_sim_time_step_s(void) { return DT_TIME_STEP_S; }
#endif
