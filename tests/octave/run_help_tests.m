function rc = run_help_tests()
  rc = run_suite({@t_help_gives_the_gateways_usage, @t_help_names_every_argument_and_the_units, ...
                  @t_calls_still_run_the_plugin, @t_results_match_the_plugin_alone, ...
                  @t_help_examples_run, @t_small_units_come_back_unchanged});
end

function names = plugins()
  names = {'sorvane', 'blockdenoise'};
end

function text = help_text(name)
  text = evalc(['help ' name]);
end

% The usage line the gateway itself cites when called with the wrong number of inputs.
function usage = gateway_usage(name)
  try
    feval(name);
    error('test:noerror', '%s() raised no error', name);
  catch err
    assert(err.identifier, [name ':nargin']);
    usage = regexp(err.message, ['result = ' name '\([^)]*\)'], 'match', 'once');
    assert(~isempty(usage), sprintf('no usage in "%s"', err.message));
  end
end

function t_help_gives_the_gateways_usage()
  for name = plugins()
    text = help_text(name{1});
    assert(isempty(strfind(text, 'not documented')), text);
    assert(~isempty(strfind(text, gateway_usage(name{1}))), text);
  end
end

function t_help_names_every_argument_and_the_units()
  for name = plugins()
    text = help_text(name{1});
    usage = gateway_usage(name{1});
    args = strsplit(regexp(usage, '\(([^)]*)\)', 'tokens', 'once'){1}, ', ');
    assert(numel(args), 6);
    for k = 1:numel(args)
      % each argument starts a line of its own in the argument list, with its type
      line = regexp(text, ['\n\s*' args{k} '\s+([^\n]*)'], 'tokens', 'once');
      assert(~isempty(line), sprintf('%s: argument %s not described', name{1}, args{k}));
      assert(~isempty(regexp(line{1}, 'real|scalar|array', 'once')), line{1});
    end
    assert(~isempty(regexp(text, '\n\s*result\s+a (double|single) array', 'once')), text);
    assert(~isempty(strfind(text, 'units')) && ~isempty(strfind(text, 'denoise from Python')));
  end
end

function t_calls_still_run_the_plugin()
  for name = plugins()
    assert(exist(name{1}), 3);
    [~, ~, ext] = fileparts(which(name{1}));
    assert(ext, '.mex');
    folder = fileparts(which(name{1}));
    assert(exist(fullfile(folder, [name{1} '.m']), 'file') == 2, 'help file not beside the plug-in');
  end
  randn('state', 3);
  noisy = 50 + 10 * randn(5, 4, 3);
  guide = round(noisy / 4) * 4;
  assert(sorvane(noisy, 1, 0, 30, guide, 1), sorvane_direct(noisy, 1, 30, guide, 1), -1e-12);
end

% The same calls through a copy of the plug-in alone, in a folder first on the path, give
% identical results: the help file beside the plug-in changes nothing.
function t_results_match_the_plugin_alone()
  randn('state', 4);
  noisy = 100 + 10 * randn(9, 8, 7);
  guide = round(noisy / 4) * 4;
  with_help = {sorvane(noisy, 2, 1, 10, guide, 0), blockdenoise(single(noisy), 2, 1, 10, 1, 1)};
  folder = tempname();
  mkdir(folder);
  confirm_recursive_rmdir(false, 'local');
  unwind_protect
    for name = plugins()
      copyfile(which(name{1}), folder);
    end
    addpath(folder);
    clear sorvane blockdenoise
    for name = plugins()
      assert(fileparts(which(name{1})), folder);
    end
    alone = {sorvane(noisy, 2, 1, 10, guide, 0), blockdenoise(single(noisy), 2, 1, 10, 1, 1)};
  unwind_protect_cleanup
    rmpath(folder);
    clear sorvane blockdenoise
    rmdir(folder, 's');
  end_unwind_protect
  assert(isequal(with_help, alone));
  assert(~isequal(with_help{1}, noisy) && ~isequal(with_help{2}, single(noisy)));
end

% The example of each help text runs as printed and reduces the noise.
function t_help_examples_run()
  for name = plugins()
    text = help_text(name{1});
    block = regexp(text, 'Example:\n(.*?)\n\s*\n', 'tokens', 'once');
    assert(~isempty(block), 'no example');
    % MATLAB has fprintf but no printf
    assert(isempty(regexp(block{1}, '(^|[^f])printf\(', 'once')), block{1});
    randn('state', 5);
    printed = evalc(block{1});
    stds = sscanf(printed, 'std before %f, after %f');
    assert(numel(stds), 2, printed);
    assert(stds(2) < stds(1), printed);
  end
end

% What the help says of the units: data near 1e-3 with sigma 1e-4 pass the block filter
% unchanged but for float rounding, while the same data in units 1e6 times larger are smoothed.
function t_small_units_come_back_unchanged()
  randn('state', 6);
  v = single(1e-3 + 1e-4 * randn(10, 10, 10));
  out = blockdenoise(v, 2, 1, 1e-4, 1, 0);
  assert(out, v, -1e-6);
  w = v * 1e6;
  out = blockdenoise(w, 2, 1, 100, 1, 0);
  assert(std(out(:)) < std(w(:)) / 2);
end
