"""Type stubs of quelby._quelby (written by python/tools/make_stubs.py)."""

import os
from typing import Any, Iterable, Optional, Sequence, Union

import numpy

class Stop(Exception):
    lines: list[str]
    text: str
    status: int
    detail: str
    cause: str

class BadInputStop(Stop, ValueError):
    ...

class ResourceStop(Stop, MemoryError):
    ...

class MissingFileStop(Stop, FileNotFoundError):
    ...

class ActiveCells:
    def __init__(self) -> None: ...
    air_cells: numpy.ndarray
    all_active: bool
    cell_idx: numpy.ndarray
    inact_val: numpy.ndarray
    infl_val: numpy.ndarray
    ncell: int
    ninact: int
    ninfl: int
    npar: int
    nx: int
    nz: int
    def to_parameters(self, model: numpy.ndarray) -> numpy.ndarray: ...
    def to_model(self, m: numpy.ndarray, fill: Any = ...) -> numpy.ndarray: ...

class AlphaCoefficients:
    def __init__(self, alpha_s: float = ..., alpha_x: float = ..., alpha_z: float = ...) -> None: ...
    alpha_s: float
    alpha_x: float
    alpha_z: float

class DippingZones:
    def __init__(self) -> None: ...
    zone_alpha_s: numpy.ndarray
    zone_alpha_x: numpy.ndarray
    zone_alpha_z: numpy.ndarray
    zone_dip: numpy.ndarray

class Io:
    def __init__(self, console: Any = ..., error: Any = ..., log: Any = ...) -> None: ...
    def clear_log(self) -> None: ...
    console: Any
    error: Any
    log: Any
    log_text: str

class Mesh:
    def __init__(self) -> None: ...
    dx: numpy.ndarray
    dz: numpy.ndarray
    node_count: int
    nx: int
    nz: int
    x_centres: numpy.ndarray
    x_mid: float
    x_nodes: numpy.ndarray
    z_centres: numpy.ndarray
    z_first: float
    z_node_count_plus_one: int
    z_nodes: numpy.ndarray

class ModelObjective:
    Bx: numpy.ndarray
    Bxz: numpy.ndarray
    Bz: numpy.ndarray
    WTW: Any
    Wx: Any
    Wz: Any
    n_terms: int
    npar: int
    ref_in_derivatives: bool
    def term_norms(self, m: Any, m_ref: Any) -> numpy.ndarray: ...
    terms: list
    def wtw_times_model(self, m: Any, m_ref: Any) -> numpy.ndarray: ...

class SurveyData:
    def __init__(self) -> None: ...
    common_current: bool
    dobs: Optional[numpy.ndarray]
    dstd: Optional[numpy.ndarray]
    dstd_read: bool
    has_file_order: bool
    has_values: bool
    has_z: bool
    header_line: str
    idat_idx: Optional[numpy.ndarray]
    iptype: Optional[numpy.ndarray]
    ncur: int
    ndat: int
    ndat_cur: Optional[numpy.ndarray]
    sep_max: float
    sep_mean: float
    sep_min: float
    sorted_pos: Optional[numpy.ndarray]
    std_missing: bool
    use_z: bool
    xa_cur: Optional[numpy.ndarray]
    xa_file: Optional[numpy.ndarray]
    xb_cur: Optional[numpy.ndarray]
    xb_file: Optional[numpy.ndarray]
    xm: Optional[numpy.ndarray]
    xm_file: Optional[numpy.ndarray]
    xn: Optional[numpy.ndarray]
    xn_file: Optional[numpy.ndarray]
    za_cur: Optional[numpy.ndarray]
    zb_cur: Optional[numpy.ndarray]
    zm: Optional[numpy.ndarray]
    zn: Optional[numpy.ndarray]

class Topography:
    def __init__(self) -> None: ...
    air_cells: numpy.ndarray
    has_topography: bool
    surface_z: numpy.ndarray

def assign_zones(mesh: Mesh, polygons: Iterable) -> numpy.ndarray: ...
def build_model_objective(mesh: Mesh, cells: ActiveCells, alpha: AlphaCoefficients, weight_input: Any = ..., weight_files: Sequence[str | os.PathLike[str]] = ..., dip_input: Any = ..., dip_file: str | os.PathLike[str] = ..., ref_in_derivatives: bool = ..., keep_factors: bool = ..., io: Optional[Io] = ...) -> ModelObjective: ...
def default_io() -> Io: ...
def fixed_cells(mesh: Mesh, topography: Topography = ..., active: ActiveCells = ...) -> numpy.ndarray: ...
def load_mesh(path: str | os.PathLike[str], io: Optional[Io] = ...) -> Mesh: ...
def load_mesh_and_topography(mesh_path: str | os.PathLike[str], topography_path: Optional[str | os.PathLike[str]] = ..., io: Optional[Io] = ...) -> tuple: ...
def next_data_line(source: Union[str | os.PathLike[str], Any], length: int = ...) -> tuple: ...
def normalize_data(data: SurveyData, io: Optional[Io] = ...) -> None: ...
def point_in_region(x: Sequence[float], z: Sequence[float], point_x: float, point_z: float) -> bool: ...
def read_active_cell_file(mesh: Mesh, path: str | os.PathLike[str], io: Optional[Io] = ...) -> numpy.ndarray: ...
def read_active_cells(mesh: Mesh, topography: Topography, path: str | os.PathLike[str] = ..., io: Optional[Io] = ...) -> ActiveCells: ...
def read_data_file(path: str | os.PathLike[str], locations_only: bool = ..., use_z: bool = ..., dc_data: bool = ..., io: Optional[Io] = ...) -> SurveyData: ...
def read_dipping(mesh: Mesh, alpha: AlphaCoefficients, option: Any = ..., path: str | os.PathLike[str] = ..., io: Optional[Io] = ...) -> tuple: ...
def read_input_file_name(label: str, control_line: str, length: int = ..., io: Optional[Io] = ...) -> tuple: ...
def read_model(path: str | os.PathLike[str], mesh: Mesh, label: str = ..., io: Optional[Io] = ...) -> numpy.ndarray: ...
def read_topography(mesh: Mesh, path: Optional[str | os.PathLike[str]] = ..., io: Optional[Io] = ...) -> Topography: ...
def read_weight_file(mesh: Mesh, path: str | os.PathLike[str], label: str = ..., start: Any = ..., io: Optional[Io] = ...) -> numpy.ndarray: ...
def read_weight_files(mesh: Mesh, weight_files: Sequence[str | os.PathLike[str]], io: Optional[Io] = ...) -> tuple: ...
def read_weights_file(mesh: Mesh, path: str | os.PathLike[str], io: Optional[Io] = ...) -> tuple: ...
def report_beta_choice(chosen_beta: float, target_misfit: float, achieved_misfit: float, previous_misfit: float, model_norm: float, model_norm_change: float, betas: Any = ..., misfits: Any = ..., io: Optional[Io] = ...) -> None: ...
def report_norm_components(components: Any, io: Optional[Io] = ...) -> None: ...
def report_term_norms(objective: ModelObjective, m: Any, m_ref: Any, io: Optional[Io] = ...) -> None: ...
def run_log() -> str: ...
def set_all_active(cells: ActiveCells, on: bool) -> None: ...
def set_alpha(mesh: Mesh, mode: Any, alpha: Optional[Sequence[float]] = ..., lengths: Optional[Sequence[float]] = ..., start: Optional[AlphaCoefficients] = ..., io: Optional[Io] = ...) -> AlphaCoefficients: ...
def set_weights(mesh: Mesh, weight_input: Any = ..., weight_files: Sequence[str | os.PathLike[str]] = ..., io: Optional[Io] = ...) -> tuple: ...
def smooth(mesh: Mesh, model: Any, cycles: int, fixed: Any = ...) -> numpy.ndarray: ...
def store_inactive_values(cells: ActiveCells, mesh: Mesh, model: Any, log_values: bool = ..., io: Optional[Io] = ...) -> None: ...
def strip_comment(line: str, length: Optional[int] = ...) -> str: ...
def write_iteration_history(path: str | os.PathLike[str], niter: int, misfit_history: Any, norm_history: Any, beta_history: Any, target_misfit: float, ndat: Any, io: Optional[Io] = ...) -> None: ...
def write_model(path: str | os.PathLike[str], mesh: Mesh, array: Any, io: Optional[Io] = ...) -> None: ...

__version__: str
