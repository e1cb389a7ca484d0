function rc = run_one_call_tests()
  rc = run_suite({@t_bad_arguments_give_their_identifiers, @t_classes_give_the_same_result, ...
                  @t_series_is_volume_by_volume, @t_record_fields, @t_mask_inside_and_outside, ...
                  @t_estimate_sigma_shapes_and_options, @t_thread_counts_give_the_same_bits, ...
                  @t_warnings, @t_help_states_the_plugins_defaults, @t_help_examples_run});
end

function v = sample(dims, sigma, seed)
  % A bright ellipsoid on a dim background with Rician noise.
  randn('state', seed);
  [x, y, z] = ndgrid(linspace(-1, 1, dims(1)), linspace(-1, 1, dims(2)), linspace(-1, 1, dims(3)));
  clean = 150 * (x .^ 2 + y .^ 2 / 0.8 + z .^ 2 < 0.6) + 60;
  v = abs(clean + sigma * randn(dims(1:3)) + 1i * sigma * randn(dims(1:3)));
end

function s = series(dims, scales, sigma, seed)
  s = zeros([dims numel(scales)]);
  for k = 1:numel(scales)
    s(:, :, :, k) = scales(k) * sample(dims, sigma / scales(k), seed + k);
  end
end

function t_bad_arguments_give_their_identifiers()
  v = sample([10 9 8], 8, 1);
  s = series([10 9 8], [1 0.5], 8, 2);
  % {what, call, identifier}
  cases = {
    'no input',             @() volnlm_denoise(),                                  'volnlm:nargin'
    'three outputs',        @() nargout_three(),                                   'volnlm:nargout'
    'complex input',        @() volnlm_denoise(v + 1i),                            'volnlm:noisy'
    'logical input',        @() volnlm_denoise(v > 100),                           'volnlm:noisy'
    'char input',           @() volnlm_denoise('abc'),                             'volnlm:noisy'
    'cell input',           @() volnlm_denoise({v}),                               'volnlm:noisy'
    'five dimensions',      @() volnlm_denoise(ones(3, 3, 3, 2, 2)),               'volnlm:dims'
    'unknown option',       @() volnlm_denoise(v, 'Radius', 2),                    'volnlm:unknownOption'
    'option without value', @() volnlm_denoise(v, 'Sigma', 5, 'Method'),           'volnlm:optionValue'
    'name not text',        @() volnlm_denoise(v, 3, 2),                           'volnlm:optionName'
    'sigma text',           @() volnlm_denoise(v, 'Sigma', 'high'),                'volnlm:sigma'
    'sigma negative',       @() volnlm_denoise(v, 'Sigma', -1),                    'volnlm:sigma'
    'sigma NaN',            @() volnlm_denoise(s, 'Sigma', [1 NaN]),               'volnlm:sigma'
    'sigma complex',        @() volnlm_denoise(v, 'Sigma', 1 + 2i),                'volnlm:sigma'
    'sigma matrix',         @() volnlm_denoise(s, 'Sigma', [1 2; 3 4]),            'volnlm:sigma'
    'sigma count',          @() volnlm_denoise(s, 'Sigma', [1 2 3]),               'volnlm:sigmaCount'
    'sigma out of range',   @() volnlm_denoise(v, 'Sigma', 1e-300),                'volnlm:sigma'
    'shared with given',    @() volnlm_denoise(s, 'Sigma', 3, 'SharedSigma', true), 'volnlm:sharedSigma'
    'shared not logical',   @() volnlm_denoise(s, 'SharedSigma', 'yes'),           'volnlm:sharedSigma'
    'shared two',           @() volnlm_denoise(s, 'SharedSigma', 2),               'volnlm:sharedSigma'
    'method unknown',       @() volnlm_denoise(v, 'Method', 'fast'),               'volnlm:method'
    'method number',        @() volnlm_denoise(v, 'Method', 1),                    'volnlm:method'
    'noise unknown',        @() volnlm_denoise(v, 'Noise', 'poisson'),             'volnlm:noise'
    'noise and rician',     @() volnlm_denoise(v, 'Noise', 'gaussian', 'Rician', true), 'volnlm:noise'
    'search radius 0',      @() volnlm_denoise(v, 'SearchRadius', 0),              'volnlm:searchRadius'
    'search radius 2.5',    @() volnlm_denoise(v, 'SearchRadius', 2.5),            'volnlm:searchRadius'
    'search radius Inf',    @() volnlm_denoise(v, 'SearchRadius', Inf),            'volnlm:searchRadius'
    'patch radius -1',      @() volnlm_denoise(v, 'PatchRadius', -1),              'volnlm:patchRadius'
    'patch radius vector',  @() volnlm_denoise(v, 'PatchRadius', [1 2]),           'volnlm:patchRadius'
    'smoothing 0',          @() volnlm_denoise(v, 'Smoothing', 0),                 'volnlm:smoothing'
    'smoothing NaN',        @() volnlm_denoise(v, 'Smoothing', NaN),               'volnlm:smoothing'
    'guided radius 0',      @() volnlm_denoise(v, 'GuidedSearchRadius', 0),        'volnlm:guidedSearchRadius'
    'threads 0',            @() volnlm_denoise(v, 'Threads', 0),                   'volnlm:numThreads'
    'threads 1.5',          @() volnlm_denoise(v, 'Threads', 1.5),                 'volnlm:numThreads'
    'threads text',         @() volnlm_denoise(v, 'Threads', 'all'),               'volnlm:numThreads'
    'mask shape',           @() volnlm_denoise(v, 'Mask', true(10, 9, 7)),         'volnlm:maskSize'
    'mask 4-D',             @() volnlm_denoise(s, 'Mask', true(size(s))),          'volnlm:maskSize'
    'mask text',            @() volnlm_denoise(v, 'Mask', 'brain'),                'volnlm:mask'
    'mask cell',            @() volnlm_denoise(v, 'Mask', {true}),                 'volnlm:mask'
    'mask complex',         @() volnlm_denoise(v, 'Mask', complex(ones(10, 9, 8))), 'volnlm:mask'
    'estimate no input',    @() volnlm_estimate_sigma(),                           'volnlm:nargin'
    'estimate complex',     @() volnlm_estimate_sigma(v + 1i),                     'volnlm:noisy'
    'estimate sigma option', @() volnlm_estimate_sigma(v, 'Sigma', 3),             'volnlm:unknownOption'
    'estimate mask shape',  @() volnlm_estimate_sigma(s, 'Mask', ones(10, 9)),     'volnlm:maskSize'
    'estimate noise',       @() volnlm_estimate_sigma(v, 'Noise', 'rice'),         'volnlm:noise'
    'estimate no value',    @() volnlm_estimate_sigma(v, 'Mask'),                  'volnlm:optionValue'
  };
  for k = 1:rows(cases)
    try
      expect_error(cases{k, 3}, cases{k, 2});
    catch err
      error('test:case', '%s: %s', cases{k, 1}, err.message);
    end
  end
  % The messages say what was wrong and what was expected.
  msg = error_message(@() volnlm_denoise(v, 'Mask', true(10, 9, 7)));
  assert(~isempty(strfind(msg, '10x9x7')) && ~isempty(strfind(msg, '10x9x8')), msg);
  msg = error_message(@() volnlm_denoise(s, 'Sigma', [1 2 3]));
  assert(~isempty(strfind(msg, '3 values')) && ~isempty(strfind(msg, '2 volumes')), msg);
  msg = error_message(@() volnlm_denoise(v, 'Radius', 2));
  assert(~isempty(strfind(msg, 'Radius')) && ~isempty(strfind(msg, 'SearchRadius')), msg);
end

function nargout_three()
  [a, b, c] = volnlm_denoise(ones(4, 4, 4));
end

function msg = error_message(fn)
  try
    fn();
    msg = '';
  catch err
    msg = err.message;
  end
end

% Every real numeric class of the same values gives the double call's bits.
function t_classes_give_the_same_result()
  v = round(sample([12 11 10], 9, 3));
  expected = volnlm_denoise(v, 'Method', 'block');
  sigma = volnlm_estimate_sigma(v);
  for cls = {'single', 'int16', 'uint16', 'int32', 'uint8', 'int64'}
    w = cast(v, cls{1});
    assert(isequal(double(w), v), cls{1});
    out = volnlm_denoise(w, 'Method', 'block');
    assert(class(out), 'double');
    assert(isequal(out, expected), cls{1});
    assert(isequal(volnlm_estimate_sigma(w), sigma), cls{1});
  end
  assert(~isequal(expected, v));
end

% Volume k of a series is the 3-D call on volume k with the sigma the record gives it.
function t_series_is_volume_by_volume()
  s = series([12 10 9], [1 0.4 0.25], 7, 4);
  for shared = [false true]
    for method = {'guided', 'block'}
      [out, info] = volnlm_denoise(s, 'SharedSigma', shared, 'Method', method{1});
      assert(size(out), size(s));
      assert(numel(info.Sigma), 3);
      for k = 1:3
        one = volnlm_denoise(s(:, :, :, k), 'Sigma', info.Sigma(k), 'Method', method{1});
        assert(isequal(out(:, :, :, k), one), sprintf('%s volume %d', method{1}, k));
      end
    end
  end
  % estimated per volume, the sigma of each volume is its own estimate
  [~, info] = volnlm_denoise(s);
  assert(isequal(info.Sigma, volnlm_estimate_sigma(s)));
end

function t_record_fields()
  s = series([10 9 8], [1 0.5], 6, 5);
  [~, info] = volnlm_denoise(s, 'Sigma', [6 3], 'Method', 'block', 'Noise', 'gaussian', ...
                             'SearchRadius', 3, 'PatchRadius', 2, 'Smoothing', 0.75);
  assert(fieldnames(info)', {'GeneratedBy', 'Sources', 'Method', 'NoiseModel', 'Parameters', ...
                              'Volumes', 'Sigma', 'SigmaSource', 'SigmaEstimates', 'UnitScale', ...
                              'Mask', 'ElapsedSeconds'});
  assert(info.GeneratedBy.Name, 'volnlm');
  assert(ischar(info.GeneratedBy.Version) && ~isempty(info.GeneratedBy.Version));
  assert(isempty(info.Sources));
  assert(info.Method, 'block');
  assert(info.NoiseModel, 'gaussian');
  assert(info.Parameters, struct('SearchRadius', 3, 'PatchRadius', 2, 'Smoothing', double(single(0.75))));
  assert(info.Volumes, 2);
  assert(info.Sigma, [6; 3]);
  assert(info.SigmaSource, 'given');
  assert(isempty(info.SigmaEstimates) && isempty(info.Mask));
  % the unit scale brings each sigma into [64, 128)
  assert(all(info.Sigma .* info.UnitScale >= 64 & info.Sigma .* info.UnitScale < 128));
  assert(info.ElapsedSeconds >= 0);

  mask = false(10, 9, 8);
  mask(3:8, 2:7, 2:6) = true;
  [~, info] = volnlm_denoise(s, 'SharedSigma', true, 'Mask', mask);
  assert(info.Method, 'guided');
  assert(info.NoiseModel, 'rician');
  assert(fieldnames(info.Parameters)', {'SearchRadius', 'PatchRadius', 'Smoothing', 'GuidedSearchRadius'});
  assert(info.SigmaSource, 'estimated-shared');
  assert(size(info.SigmaEstimates), [2 1]);
  assert(info.Sigma(1), info.Sigma(2));
  assert(info.Mask.Source, 'array');
  assert(info.Mask.Coverage, nnz(mask) / numel(mask));
  [~, info] = volnlm_denoise(s(:, :, :, 1), 'Mask', 'auto');
  assert(info.Mask.Source, 'auto');
  assert(info.Volumes, 1);
  assert(info.SigmaSource, 'estimated');
end

% Inside the mask the result has the unmasked call's bits (same sigma), outside it is the input;
% NaN in the mask is outside, and an estimated sigma comes from the voxels inside.
function t_mask_inside_and_outside()
  v = sample([12 11 10], 9, 6);
  mask = zeros(12, 11, 10);
  mask(3:10, 3:9, 2:8) = 2;
  mask(1, :, :) = NaN;
  for method = {'guided', 'block'}
    full = volnlm_denoise(v, 'Sigma', 9, 'Method', method{1});
    out = volnlm_denoise(v, 'Sigma', 9, 'Method', method{1}, 'Mask', mask);
    inside = mask ~= 0 & ~isnan(mask);
    assert(isequal(out(inside), full(inside)), method{1});
    assert(isequal(out(~inside), v(~inside)), method{1});
  end
  [~, info] = volnlm_denoise(v, 'Mask', mask);
  assert(info.Sigma, volnlm_estimate_sigma(v, 'Mask', mask));
  assert(info.Sigma ~= volnlm_estimate_sigma(v));
end

function t_estimate_sigma_shapes_and_options()
  v = sample([14 12 10], 10, 7);
  s = series([14 12 10], [1 0.5 0.3], 10, 8);
  assert(isscalar(volnlm_estimate_sigma(v)));
  est = volnlm_estimate_sigma(s);
  assert(size(est), [3 1]);
  for k = 1:3
    assert(est(k), volnlm_estimate_sigma(s(:, :, :, k)));
  end
  assert(volnlm_estimate_sigma(v, 'noise', 'GAUSSIAN'), volnlm_estimate_sigma(v, 'Rician', false));
  % Rician counts only blocks brighter than 5 sigma: here the ellipsoid, not the background
  dim = sample([14 12 10], 20, 7);
  assert(volnlm_estimate_sigma(dim, 'Noise', 'gaussian') ~= volnlm_estimate_sigma(dim));
  assert(volnlm_estimate_sigma(v, 'Mask', []), volnlm_estimate_sigma(v));
  assert(volnlm_estimate_sigma(zeros(6, 6, 6)), 0);
  assert(size(volnlm_estimate_sigma(zeros(4, 4, 4, 0))), [0 1]);
  assert(abs(est(1) - 10) < 1.5, sprintf('estimate %g for sigma 10', est(1)));
end

function t_thread_counts_give_the_same_bits()
  s = series([16 12 18], [1 0.5], 8, 9);
  expected = volnlm_denoise(s);
  for n = [1 2 3 8]
    assert(isequal(volnlm_denoise(s, 'Threads', n), expected), sprintf('%d threads', n));
  end
  assert(isequal(volnlm_denoise(s, 'Threads', []), expected));
end

function t_warnings()
  v = sample([8 8 8], 5, 10) - 100;
  lastwarn('');
  volnlm_denoise(v, 'Sigma', 5);
  [msg, id] = lastwarn();
  assert(id, 'volnlm:negativeVoxels');
  assert(~isempty(strfind(msg, 'gaussian')), msg);
  lastwarn('');
  volnlm_denoise(v, 'Sigma', 5, 'Noise', 'gaussian');
  assert(isempty(lastwarn()));
  out = volnlm_denoise(abs(v), 'Sigma', 5, 'Mask', false(8, 8, 8));
  [~, id] = lastwarn();
  assert(id, 'volnlm:emptyMask');
  assert(isequal(out, abs(v)));
  volnlm_estimate_sigma(abs(v), 'Mask', zeros(8, 8, 8));
  [msg, id] = lastwarn();
  assert(id, 'volnlm:emptyMask');
  assert(~isempty(strfind(msg, 'estimate is 0')), msg);
end

% The help states the defaults the plug-in uses and names every option it takes.
function t_help_states_the_plugins_defaults()
  text = evalc('help volnlm_denoise');
  assert(isempty(strfind(text, 'not documented')));
  [~, info] = volnlm_denoise(sample([12 12 12], 8, 11));
  % the first "Default" after the option's entry begins
  default_of = @(name) regexp(text(strfind(text, ['''' name '''  ']):end), ...
                              'Default ''?(\w+)', 'tokens', 'once'){1};
  for name = {'SearchRadius', 'PatchRadius', 'GuidedSearchRadius'}
    assert(str2double(default_of(name{1})), info.Parameters.(name{1}), name{1});
  end
  assert(default_of('Method'), info.Method);
  assert(default_of('Noise'), info.NoiseModel);
  % the options the unknown-option error lists are the options the help describes
  msg = error_message(@() volnlm_denoise(ones(4, 4, 4), 'x', 1));
  options = regexp(msg, '''(\w+)''', 'tokens');
  assert(numel(options) > 10);
  for k = 2:numel(options)
    assert(~isempty(regexp(text, ['\n\s*''' options{k}{1} '''\s'], 'once')), options{k}{1});
  end
  % every field of the record is described
  for f = fieldnames(info)'
    assert(~isempty(regexp(text, ['\n\s*' f{1} '\s'], 'once')), f{1});
  end
  text = evalc('help volnlm_estimate_sigma');
  for name = {'Noise', 'Rician', 'Mask'}
    assert(~isempty(regexp(text, ['\n\s*''' name{1} '''\s'], 'once')), name{1});
  end
end

% Each help example runs as printed (MATLAB has fprintf, no printf) and does what it says.
function t_help_examples_run()
  for name = {'volnlm_denoise', 'volnlm_estimate_sigma'}
    text = evalc(['help ' name{1}]);
    block = regexp(text, 'Example:\n(.*?)\n\s*\n', 'tokens', 'once');
    assert(~isempty(block), name{1});
    assert(isempty(regexp(block{1}, '(^|[^f])printf\(', 'once')), block{1});
    randn('state', 12);
    printed = evalc(block{1});
    if strcmp(name{1}, 'volnlm_denoise')
      values = sscanf(printed, 'sigma %f, error inside the mask before %f, after %f');
      assert(numel(values), 3, printed);
      assert(abs(values(1) - 10) < 2 && values(3) < values(2) / 2, printed);
    else
      values = sscanf(printed, 'estimated %f, true 5');
      assert(abs(values - 5) < 0.5, printed);
    end
  end
end
